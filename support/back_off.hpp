#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "support/threads.hpp"

namespace tarn {

// The pause before a failed connection or capture is tried again.
inline constexpr uint32_t retry_interval_ms = 10000;

// Waits milliseconds in short steps, so that a stop is seen at once; false once stopped.
inline bool pause_unless_stopped(const std::atomic<bool>& stopped, uint32_t milliseconds) {
    constexpr uint32_t step_ms = 100;
    for (uint32_t waited = 0; waited < milliseconds && !stopped; waited += step_ms) {
        sleep_milliseconds(std::min(step_ms, milliseconds - waited));
    }
    return !stopped;
}

inline bool wait_for_retry(const std::atomic<bool>& stopped) {
    return pause_unless_stopped(stopped, retry_interval_ms);
}

}  // namespace tarn
