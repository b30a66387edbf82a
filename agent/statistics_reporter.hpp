#pragma once

#include <atomic>
#include <cstdint>

#include "support/threads.hpp"

namespace tarn {

// The figures an operator alerts on, as one log line: once a minute while anything changed, at
// least every ten minutes (an idle agent and a dead one look different), and once at stop.
// Each figure is the change since the last line and, in brackets, the total. Each minute's
// look at the session also watches it (net::watch_session).
class StatisticsReporter {
  public:
    explicit StatisticsReporter(uint32_t interval_ms = 60000) : interval_ms(interval_ms) {}
    ~StatisticsReporter() { stop(); }
    StatisticsReporter(const StatisticsReporter&) = delete;
    StatisticsReporter& operator=(const StatisticsReporter&) = delete;

    // A reporter that cannot start costs its line, not the run.
    void start();
    // Logs the last line and ends the reporting thread; harmless when repeated.
    void stop();

    static constexpr int figure_count = 12;
    static constexpr int heartbeat_intervals = 10;

  private:
    struct Figures {
        uint64_t values[figure_count] = {};
        bool etw_known = false;
    };

    static uint32_t thread_entry(void* argument);
    static Figures read_figures();
    void report(const Figures& now);

    const uint32_t interval_ms;
    Thread thread = nullptr;
    std::atomic<bool> stop_requested{false};
    Figures reported;
};

}  // namespace tarn
