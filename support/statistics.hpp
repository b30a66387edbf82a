#pragma once

// What the agent counts where it happens, for the figures line of the log. Each counter has
// one writing thread, which adds with a relaxed load and store: no lock, no locked
// instruction, nothing allocated on the capture path. Any thread may read.
#include <atomic>
#include <cstdint>

namespace tarn {

class Counter {
  public:
    void add(uint64_t count = 1) {
        value.store(value.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
    }
    uint64_t get() const { return value.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> value{0};
};

struct Statistics {
    Counter events_decoded;     // trace thread: DNS packet events that became records
    Counter capture_drops;      // trace thread: events or dnstap messages that made no record
    Counter lost_records;       // trace thread: ETW's real-time lost-event records received
    Counter records_pushed;     // trace thread
    Counter records_discarded;  // trace thread: discarded as oldest by the ring
    Counter records_sent;       // delivery thread: handed whole to a collector's socket
    Counter send_failures;      // delivery thread
    Counter reconnections;      // delivery thread: connections after the first
    Counter outside_stops;      // trace thread: the session stopped by someone else
    Counter session_repairs;    // watching thread: the session put right after a change
    Counter etw_events_lost;    // watching thread: ETW's counts over every session looked at
    Counter etw_buffers_lost;   // watching thread
    // Delivery thread: the place in the target list of the collector it sends to, -1 for none.
    std::atomic<int32_t> target_in_use{-1};
};

// The process's counters.
Statistics& statistics();

}  // namespace tarn
