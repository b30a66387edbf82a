#include "agent/statistics_reporter.hpp"

#include <cstring>
#include <ctime>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/etw_session.hpp"
#include "sensor/sensor_queue.hpp"
#include "support/back_off.hpp"
#include "support/log.hpp"
#include "support/replace_file.hpp"
#include "support/statistics.hpp"

namespace tarn {

StatisticsReporter::StatisticsReporter(const sensor::SensorQueue* queue, uint32_t tick_ms)
    : queue(queue), tick_ms(tick_ms), start_time(std::time(nullptr)) {}

// One failure line a streak, and one line when the file is written again.
void StatisticsReporter::write_metrics(const Figures& now) {
    const std::string& path = config::metrics_file;
    if (path.empty()) {
        return;
    }
    Gauges gauges;
    gauges.queue_used = queue != nullptr ? queue->used_bytes() : 0;
    gauges.queue_size = queue != nullptr ? queue->capacity_bytes() : 0;
    gauges.target_in_use = statistics().target_in_use;
    gauges.capture_running = net::capture_running();
    gauges.last_event_time = last_event_time;
    gauges.start_time = start_time;
    try {
        replace_file(path, metrics_text(now, gauges));
        if (metrics_failing) {
            log_message("Metrics written to %s again", path.c_str());
        }
        metrics_failing = false;
    } catch (const std::exception& failure) {
        if (!metrics_failing) {
            log_message("ERROR - Metrics not written to %s: %s", path.c_str(), failure.what());
        }
        metrics_failing = true;
    }
}

void StatisticsReporter::tick(int number) {
    const Figures now = read_figures();
    if (now.values[Figures::events_decoded] != events_seen) {
        events_seen = now.values[Figures::events_decoded];
        last_event_time = std::time(nullptr);
    }
    write_metrics(now);
    const bool changed = std::memcmp(now.values, reported.values, sizeof now.values) != 0;
    if ((number % line_ticks == 0 && changed) || number - last_line_tick >= heartbeat_ticks) {
        log_message("%s", figures_line(now, reported).c_str());
        reported = now;
        last_line_tick = number;
    }
}

uint32_t StatisticsReporter::thread_entry(void* argument) {
    auto& reporter = *static_cast<StatisticsReporter*>(argument);
    reporter.write_metrics(read_figures());  // a reader need not wait for the first tick
    for (int number = 1; pause_unless_stopped(reporter.stop_requested, reporter.tick_ms);
         ++number) {
        reporter.tick(number);
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
    const Figures now = read_figures();
    write_metrics(now);
    log_message("%s", figures_line(now, reported).c_str());
    reported = now;
}

}  // namespace tarn
