#pragma once

#include <atomic>
#include <cstdint>

#include "support/threads.hpp"

namespace tarn::sensor {

// Bounded ring of length-prefixed messages between one producer and one consumer. The
// producer is never refused for lack of room: the oldest whole entries make way.
class SensorQueue {
  public:
    explicit SensorQueue(uint32_t size);
    ~SensorQueue();
    SensorQueue(const SensorQueue&) = delete;
    SensorQueue& operator=(const SensorQueue&) = delete;

    // Each entry's big-endian length ahead of it.
    static constexpr uint32_t length_bytes = 4;

    // Whether an entry of length bytes can be held at all, with its length bytes.
    bool fits(uint32_t length) const { return uint64_t{length} + length_bytes <= capacity; }
    // Throws SensorError unless it fits. Signals data_event only when the consumer
    // waits, or is about to: while it is busy the entry simply joins its next batch. Returns
    // the result of that signal, or 0.
    int32_t push(const uint8_t* data, uint32_t length);
    // 0 when empty, -1 when the oldest entry is longer than size, else its length.
    int32_t pop(uint8_t* destination, uint32_t size);
    // Takes the oldest whole entries that fit in size, in one hold of the lock, each as it
    // goes on the wire: its 4-byte big-endian length, then the message. 0 when empty, -1
    // when the oldest entry alone does not fit, else the bytes taken.
    int64_t pop_frames(uint8_t* destination, uint32_t size);
    // Returns at once while entries wait; otherwise blocks until data_event is signalled.
    int wait();

    Event data_event_handle() const { return data_event; }
    uint32_t capacity_bytes() const { return capacity; }
    // Bytes the entries take, length bytes included; from any thread.
    uint32_t used_bytes() const;
    uint32_t read_position() const { return read_pos; }
    uint32_t write_position() const { return write_pos; }
    bool is_wrapped() const { return wrapped != 0; }
    // Entries discarded as oldest since creation; readable from any thread. Nothing in the
    // agent reports it: it lets tests account for every message.
    uint64_t discarded_entries() const { return discarded.load(std::memory_order_relaxed); }

  private:
    bool empty() const { return wrapped == 0 && read_pos >= write_pos; }
    uint32_t used() const;  // under queue_mutex
    void drop_oldest();
    uint32_t entry_length_at(uint32_t position) const;
    uint32_t advance(uint32_t position, uint64_t count) const;
    void copy_out(uint32_t position, uint8_t* destination, uint32_t count) const;

    uint8_t* data = nullptr;
    uint32_t capacity = 0;
    uint32_t read_pos = 0;
    uint32_t write_pos = 0;
    uint8_t wrapped = 0;
    std::atomic<uint64_t> discarded{0};  // written only under queue_mutex
    bool consumer_waiting = false;       // under queue_mutex
    Mutex queue_mutex = nullptr;
    Mutex wait_mutex = nullptr;
    Event data_event = nullptr;
};

// The capture's MessageCallback: context is the SensorQueue. A record the ring can never hold
// costs itself alone: a capture drop and one line, never the trace that made it. -1 then.
int32_t push_message(const uint8_t* data, uint32_t length, void* context);

}  // namespace tarn::sensor
