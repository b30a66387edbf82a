#include "agent/statistics_reporter.hpp"

#include <cstdio>
#include <cstring>

#include "error/error.hpp"
#include "net/etw_session.hpp"
#include "support/back_off.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace tarn {

namespace {

// In the order of the line; the last two come from ETW's own query of the session.
constexpr const char* figure_names[StatisticsReporter::figure_count] = {
    "events decoded", "capture drops",   "records pushed",  "records discarded",
    "records sent",   "send failures",   "reconnections",   "lost-event records",
    "outside stops",  "session repairs", "ETW events lost", "ETW buffers lost"};
constexpr int first_etw_figure = 10;

}  // namespace

StatisticsReporter::Figures StatisticsReporter::read_figures() {
    Statistics& counters = statistics();
    Figures now;
    now.etw_known = net::watch_session();
    const Counter* figures[] = {
        &counters.events_decoded,    &counters.capture_drops,   &counters.records_pushed,
        &counters.records_discarded, &counters.records_sent,    &counters.send_failures,
        &counters.reconnections,     &counters.lost_records,    &counters.outside_stops,
        &counters.session_repairs,   &counters.etw_events_lost, &counters.etw_buffers_lost};
    for (int i = 0; i < figure_count; ++i) {
        now.values[i] = figures[i]->get();
    }
    return now;
}

void StatisticsReporter::report(const Figures& now) {
    char line[1024] = "Statistics:";
    size_t length = std::strlen(line);
    for (int i = 0; i < figure_count && length < sizeof line; ++i) {
        const char* separator = i == 0 ? " " : ", ";
        int written;
        if (i >= first_etw_figure && !now.etw_known) {
            written = std::snprintf(line + length, sizeof line - length, "%s%s n/a", separator,
                                    figure_names[i]);
        } else {
            unsigned long long total = now.values[i];
            written = std::snprintf(line + length, sizeof line - length, "%s%s +%llu (%llu)",
                                    separator, figure_names[i], total - reported.values[i], total);
        }
        length += written > 0 ? static_cast<size_t>(written) : 0;
    }
    log_message("%s", line);
    reported = now;
}

uint32_t StatisticsReporter::thread_entry(void* argument) {
    auto& reporter = *static_cast<StatisticsReporter*>(argument);
    for (int quiet = 1; pause_unless_stopped(reporter.stop_requested, reporter.interval_ms);
         ++quiet) {
        Figures now = read_figures();
        if (quiet == heartbeat_intervals ||
            std::memcmp(now.values, reporter.reported.values, sizeof now.values) != 0) {
            reporter.report(now);
            quiet = 0;
        }
    }
    return 0;
}

void StatisticsReporter::start() {
    if (int code = start_once(thread, stop_requested, thread_entry, this)) {
        log_message("ERROR - Statistics not reported: pthread_create() failed: %s",
                    error::system_error_text(code).c_str());
    }
}

void StatisticsReporter::stop() {
    if (thread == nullptr) {
        return;
    }
    stop_requested = true;
    thread_join(thread);
    thread = nullptr;
    report(read_figures());
}

}  // namespace tarn
