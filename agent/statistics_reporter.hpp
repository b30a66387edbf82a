#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "agent/figures.hpp"
#include "support/threads.hpp"

namespace tarn {

namespace sensor {
class SensorQueue;
}

// Reads the figures every tick (15 s), which also looks at the ETW session, and writes them to
// the metrics file when one is set. The log gets them as one line once a minute while anything
// changed, at least every ten minutes (an idle agent and a dead one look different), and once
// at stop; each figure as the change since the last line and, in brackets, the total.
class StatisticsReporter {
  public:
    explicit StatisticsReporter(const sensor::SensorQueue* queue = nullptr,
                                uint32_t tick_ms = 15000);
    ~StatisticsReporter() { stop(); }
    StatisticsReporter(const StatisticsReporter&) = delete;
    StatisticsReporter& operator=(const StatisticsReporter&) = delete;

    // A reporter that cannot start costs its line and file, not the run.
    void start();
    // Logs the last line, writes the file a last time and ends the thread; harmless when
    // repeated.
    void stop();

    static constexpr int line_ticks = 4;
    static constexpr int heartbeat_ticks = 40;

  private:
    static uint32_t thread_entry(void* argument);
    void tick(int number);
    void write_metrics(const Figures& now);

    const sensor::SensorQueue* queue;
    const uint32_t tick_ms;
    const int64_t start_time;
    Thread thread = nullptr;
    std::atomic<bool> stop_requested{false};
    Figures reported;  // at the last line
    int last_line_tick = 0;
    uint64_t events_seen = 0;     // events decoded at the last tick
    int64_t last_event_time = 0;  // the tick that saw them grow
    bool metrics_failing = false;
};

}  // namespace tarn
