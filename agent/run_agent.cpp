#include "agent/run_agent.hpp"

#include <cstring>
#include <exception>
#include <string>

#include "agent/platform.hpp"
#include "agent/statistics_reporter.hpp"
#include "config/config_store.hpp"
#include "config/settings.hpp"
#include "net/etw_session.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/tcp_connection.hpp"
#include "sensor/wire_format.hpp"
#include "support/log.hpp"

namespace tarn {

namespace {

constexpr const char* log_file_name = "/log/dns-logger.log";

// Stops a started thread if the run unwinds before the stopping phase has stopped it, so no
// thread outlives the queue it works on.
template <typename Stop>
class StopGuard {
  public:
    explicit StopGuard(Stop stop_action) : stop_action(stop_action) {}
    ~StopGuard() { stop_now(); }
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

    void stop_now() {
        if (armed) {
            armed = false;
            stop_action();
        }
    }

  private:
    Stop stop_action;
    bool armed = true;
};

// Returns whether the run ended by a failure of its own rather than a stop request.
bool run_steps() {
    config::ConfigStore store;
    log_message("Reading config from %s", config_path != nullptr ? config_path : "");
    if (config_path != nullptr) {
        store.load(config_path);
    }
    config::apply_settings(store);

    const char* logging = store.get("logging");
    if (logging != nullptr && std::strcmp(logging, "on") == 0) {
        open_log((executable_directory() + log_file_name).c_str());
    }
    end_early_lines();
    log_message("agent version %s", sensor::wire::version);
    log_message("Changing directory to: %s", executable_directory().c_str());
    change_directory(executable_directory().c_str());
    log_message("Starting...");

    net::EtwSession session;
    sensor::SensorQueue queue(config::queue_size);
    sensor::SensorQueueProcessor processor(queue, config::target_list);
    // A processor that cannot deliver at all ends the run instead of leaving it idle.
    processor.set_fatal_event(stop_event);
    processor.use_tls(config::tls_settings);
    sensor::network_startup();

    log_message("Starting sensor queue processor");
    processor.start();
    StopGuard processor_guard([&processor] { processor.stop(); });

    session.set_callback(sensor::push_message, &queue);
    StopGuard session_guard([&session] { session.stop(); });
    log_message("Starting ETW session");
    session.start();
    log_notice("Started!");
    StatisticsReporter reporter(&queue);
    reporter.start();

    install_stop_handlers();

    mutex_lock(run_mutex);
    event_wait(stop_event, run_mutex);
    mutex_unlock(run_mutex);

    log_message("Stopping...");
    log_message("Stopping all sessions");
    session_guard.stop_now();
    log_message("Stopping sensor queue processor");
    processor_guard.stop_now();
    reporter.stop();
    log_notice("Stopped!");
    return processor.failed();
}

}  // namespace

int run_agent() {
    // Before anything is logged: the configuration's own errors must reach someone even
    // when the log file stays off.
    open_system_log();
    bool failed = true;
    try {
        create_stop_primitives();
        failed = run_steps();
    } catch (const std::exception& failure) {
        log_message("ERROR - Run failure: %s", failure.what());
    }
    // A failure before the logging decision: its lines were held for a log that never opens.
    end_early_lines();
    return failed ? run_failure_status : 0;
}

}  // namespace tarn
