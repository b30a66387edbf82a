#pragma once

#include <cstdint>

namespace tarn {

// Lets at most `limit` lines a window through to a log that must not be flooded (per-event
// decoding errors can come thousands a second); the others are counted, and the count is said
// once, before the next line let through or when the log closes.
class ReportBound {
  public:
    ReportBound(uint32_t limit, uint64_t window_seconds) : limit(limit), window(window_seconds) {}

    // Whether a line at now (seconds, any steady origin) goes through. left_out gets the number
    // of lines held back since the last one that went, to be said first; 0 when none.
    bool admit(uint64_t now, uint64_t& left_out) {
        if (now - window_start >= window || now < window_start) {
            window_start = now;
            in_window = 0;
        }
        if (in_window >= limit) {
            ++held_back;
            left_out = 0;
            return false;
        }
        ++in_window;
        left_out = take_left_out();
        return true;
    }

    // The lines held back and not yet said, counted as said.
    uint64_t take_left_out() {
        uint64_t count = held_back;
        held_back = 0;
        return count;
    }

  private:
    uint32_t limit;
    uint64_t window;
    uint64_t window_start = 0;
    uint32_t in_window = 0;
    uint64_t held_back = 0;
};

}  // namespace tarn
