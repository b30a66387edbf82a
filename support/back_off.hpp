#pragma once

#include <atomic>
#include <cstdint>

#include "support/threads.hpp"

namespace tarn {

// The pause before a failed connection or capture is tried again.
inline constexpr uint32_t retry_interval_ms = 10000;

// Waits out the pause in short steps, so that a stop is seen at once; false once stopped.
inline bool wait_for_retry(const std::atomic<bool>& stopped) {
    constexpr uint32_t step_ms = 100;
    for (uint32_t waited = 0; waited < retry_interval_ms && !stopped; waited += step_ms) {
        sleep_milliseconds(step_ms);
    }
    return !stopped;
}

}  // namespace tarn
