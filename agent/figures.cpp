#include "agent/figures.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "net/etw_session.hpp"
#include "sensor/wire_format.hpp"
#include "support/prometheus_label.hpp"
#include "support/statistics.hpp"

namespace tarn {

namespace {

struct Figure {
    Counter Statistics::*counter;
    const char* line_name;
    const char* metric;
    const char* help;
};

// In the order of the line.
constexpr Figure figure_table[Figures::count] = {
    {&Statistics::events_decoded, "events decoded", "events_decoded",
     "DNS packet events that became records."},
    {&Statistics::capture_drops, "capture drops", "capture_drops",
     "Events or dnstap messages that could not make a record."},
    {&Statistics::records_pushed, "records pushed", "records_pushed",
     "Records that entered the ring."},
    {&Statistics::records_discarded, "records discarded", "records_discarded",
     "Records the full ring dropped as its oldest."},
    {&Statistics::records_sent, "records sent", "records_sent",
     "Records handed whole to a collector's socket."},
    {&Statistics::send_failures, "send failures", "send_failures", "Sends that failed."},
    {&Statistics::reconnections, "reconnections", "reconnections",
     "Connections to a collector after the first."},
    {&Statistics::lost_records, "lost-event records", "lost_event_records",
     "Real-time lost-event records ETW delivered."},
    {&Statistics::outside_stops, "outside stops", "etw_outside_stops",
     "Times the ETW session was stopped by someone else."},
    {&Statistics::session_repairs, "session repairs", "etw_session_repairs",
     "Times the ETW session was found changed and put right."},
    {&Statistics::etw_events_lost, "ETW events lost", "etw_events_lost",
     "Events ETW lost in the session (EventsLost)."},
    {&Statistics::etw_buffers_lost, "ETW buffers lost", "etw_buffers_lost",
     "Buffers ETW lost in the session (RealTimeBuffersLost)."},
};

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append(std::string& out, const char* format, ...) {
    char piece[512];
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(piece, sizeof piece, format, arguments);
    va_end(arguments);
    out.append(piece,
               written < 0 ? 0 : std::min<size_t>(static_cast<size_t>(written), sizeof piece - 1));
}

void metric(std::string& out, const char* name, const char* type, const char* help) {
    append(out, "# HELP sabrel_agent_%s %s\n# TYPE sabrel_agent_%s %s\n", name, help, name, type);
}

}  // namespace

Figures read_figures() {
    Figures now;
    now.etw_known = net::watch_session();
    for (int i = 0; i < Figures::count; ++i) {
        now.values[i] = (statistics().*figure_table[i].counter).get();
    }
    return now;
}

std::string figures_line(const Figures& now, const Figures& before) {
    std::string line = "Statistics:";
    for (int i = 0; i < Figures::count; ++i) {
        const char* separator = i == 0 ? " " : ", ";
        if (i >= Figures::first_etw && !now.etw_known) {
            append(line, "%s%s n/a", separator, figure_table[i].line_name);
        } else {
            append(line, "%s%s +%llu (%llu)", separator, figure_table[i].line_name,
                   static_cast<unsigned long long>(now.values[i] - before.values[i]),
                   static_cast<unsigned long long>(now.values[i]));
        }
    }
    return line;
}

std::string metrics_text(const Figures& figures, const Gauges& gauges) {
    std::string out;
    for (int i = 0; i < Figures::count; ++i) {
        const std::string name = std::string(figure_table[i].metric) + "_total";
        metric(out, name.c_str(), "counter", figure_table[i].help);
        append(out, "sabrel_agent_%s %llu\n", name.c_str(),
               static_cast<unsigned long long>(figures.values[i]));
    }
    const struct {
        const char* name;
        const char* help;
        long long value;
    } plain[] = {
        {"queue_used_bytes", "Bytes the ring's records take.",
         static_cast<long long>(gauges.queue_used)},
        {"queue_size_bytes", "Size of the ring (queue-size).",
         static_cast<long long>(gauges.queue_size)},
        {"capture_running", "1 while the trace reads a real-time session.",
         gauges.capture_running ? 1 : 0},
        {"last_event_timestamp_seconds",
         "When a DNS event last became a record, to within the file's interval; 0 before.",
         gauges.last_event_time},
        {"start_time_seconds", "When the agent started.", gauges.start_time},
    };
    for (const auto& gauge : plain) {
        metric(out, gauge.name, "gauge", gauge.help);
        append(out, "sabrel_agent_%s %lld\n", gauge.name, gauge.value);
    }
    metric(out, "target_connected", "gauge", "1 for the collector in use, 0 for the others.");
    int32_t place = 0;
    for (const config::Target& target : *gauges.targets) {
        append(out, "sabrel_agent_target_connected{target=\"%s:%u\"} %d\n",
               prometheus_label(target.ip).c_str(), static_cast<unsigned>(target.port),
               place++ == gauges.target_in_use ? 1 : 0);
    }
    metric(out, "info", "gauge", "The agent's version.");
    append(out, "sabrel_agent_info{version=\"%s\"} 1\n", sensor::wire::version);
    return out;
}

}  // namespace tarn
