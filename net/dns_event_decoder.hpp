#pragma once

// DNS Server packet events into records, through TDH, on the trace thread.
#include <cstdint>

#include "net/etw_api.hpp"

namespace tarn::net {

// A heap block that only grows, to exactly the size asked for.
struct GrowingBuffer {
    GrowingBuffer() = default;
    ~GrowingBuffer();
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;

    // False (errno set, block and capacity unchanged) when the block cannot grow.
    bool grow(uint32_t needed);

    uint8_t* data = nullptr;
    uint32_t capacity = 0;
};

struct EtwTraceState;

// Turns one DNS packet event into a record for the state's message callback.
void handle_event(EtwTraceState& state, PEVENT_RECORD event);

}  // namespace tarn::net
