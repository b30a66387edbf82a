#include "sensor/sensor_queue.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "error/error.hpp"
#include "support/byte_order.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace tarn::sensor {

SensorQueue::SensorQueue(uint32_t size) {
    // malloc(0) may legally return null; a zero-byte ring still needs a valid pointer.
    data = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (data == nullptr) {
        int code = errno;
        error::throw_failure<SensorError>("malloc(" + std::to_string(size) + ")", code);
    }
    // Every page is touched now, so no push pays a page fault (and its zeroing) later.
    std::memset(data, 0, size);
    capacity = size;
    mutex_create(&queue_mutex);
    mutex_create(&wait_mutex);
    event_create(&data_event);
}

SensorQueue::~SensorQueue() {
    std::free(data);
    data = nullptr;
    handle_close(queue_mutex);
    handle_close(wait_mutex);
    handle_close(data_event);
}

uint32_t SensorQueue::entry_length_at(uint32_t position) const {
    uint8_t prefix[length_bytes];
    for (uint32_t i = 0; i < length_bytes; ++i) {
        uint32_t at = position + i;
        if (at >= capacity) {
            at -= capacity;
        }
        prefix[i] = data[at];
    }
    return load_be32(prefix);
}

void SensorQueue::drop_oldest() {
    uint64_t next = uint64_t{read_pos} + length_bytes + entry_length_at(read_pos);
    if (next < capacity) {
        read_pos = static_cast<uint32_t>(next);
    } else {
        wrapped = 0;
        read_pos = static_cast<uint32_t>(next - capacity);
    }
    // One writer under the lock: a plain store, no locked read-modify-write.
    discarded.store(discarded.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    statistics().records_discarded.add();
}

uint32_t SensorQueue::used() const {
    return wrapped != 0 ? capacity - read_pos + write_pos
                        : (write_pos > read_pos ? write_pos - read_pos : 0);
}

uint32_t SensorQueue::used_bytes() const {
    mutex_lock(queue_mutex);
    const uint32_t bytes = used();
    mutex_unlock(queue_mutex);
    return bytes;
}

int32_t SensorQueue::push(const uint8_t* message, uint32_t length) {
    // An entry needs its 4 length bytes too: one that cannot fit whole would overwrite itself
    // and leave the ring unreadable, so it is refused like an oversized one.
    if (!fits(length)) {
        std::ostringstream text;
        text << "string length " << length << "  is larger than the size of the queue " << capacity;
        throw SensorError(text.str().c_str());
    }
    const uint32_t needed = length + length_bytes;
    mutex_lock(queue_mutex);

    // Discards the same whole entries as making room byte by byte would, in one pass.
    while (capacity - used() < needed) {
        drop_oldest();
    }

    uint8_t prefix[length_bytes];
    store_be32(prefix, length);
    auto put = [this](const uint8_t* bytes, uint32_t count) {
        uint32_t first = capacity - write_pos;
        if (count < first) {
            std::memcpy(data + write_pos, bytes, count);
            write_pos += count;
            return;
        }
        std::memcpy(data + write_pos, bytes, first);
        std::memcpy(data, bytes + first, count - first);
        write_pos = count - first;
        wrapped = 1;
    };
    put(prefix, length_bytes);
    if (length != 0) {
        put(message, length);
    }

    statistics().records_pushed.add();
    bool wake = consumer_waiting;
    consumer_waiting = false;
    mutex_unlock(queue_mutex);
    return wake ? event_signal(data_event) : 0;
}

int32_t SensorQueue::pop(uint8_t* destination, uint32_t size) {
    mutex_lock(queue_mutex);
    if (wrapped == 0 && read_pos >= write_pos) {
        mutex_unlock(queue_mutex);
        return 0;
    }
    uint32_t length = entry_length_at(read_pos);
    bool reader_wrapped = false;
    uint32_t payload = read_pos + length_bytes;
    if (capacity - read_pos <= length_bytes) {
        // The length bytes reach the end of the ring: the payload starts past offset 0.
        payload = length_bytes - (capacity - read_pos);
        reader_wrapped = true;
    }
    if (length > size) {
        mutex_unlock(queue_mutex);
        return -1;
    }
    uint64_t end = uint64_t{payload} + length;
    if (end < capacity) {
        std::memcpy(destination, data + payload, length);
        read_pos = static_cast<uint32_t>(end);
    } else {
        uint32_t first = capacity - payload;
        std::memcpy(destination, data + payload, first);
        std::memcpy(destination + first, data, length - first);
        read_pos = static_cast<uint32_t>(end - capacity);
        reader_wrapped = true;
    }
    if (reader_wrapped) {
        wrapped = 0;
    }
    mutex_unlock(queue_mutex);
    return static_cast<int32_t>(length);
}

uint32_t SensorQueue::advance(uint32_t position, uint64_t count) const {
    uint64_t next = uint64_t{position} + count;
    return static_cast<uint32_t>(next < capacity ? next : next - capacity);
}

void SensorQueue::copy_out(uint32_t position, uint8_t* destination, uint32_t count) const {
    uint32_t first = capacity - position;
    if (count <= first) {
        std::memcpy(destination, data + position, count);
    } else {
        std::memcpy(destination, data + position, first);
        std::memcpy(destination + first, data, count - first);
    }
}

// The ring holds entries as they go on the wire, so whole entries leave as one or two copies.
int64_t SensorQueue::pop_frames(uint8_t* destination, uint32_t size) {
    mutex_lock(queue_mutex);
    uint64_t taken = 0;
    uint32_t end = read_pos;
    bool at_start = true;
    while (!(at_start ? empty() : end == write_pos)) {
        uint64_t entry = uint64_t{length_bytes} + entry_length_at(end);
        if (taken + entry > size) {
            break;
        }
        taken += entry;
        end = advance(end, entry);
        at_start = false;
    }
    if (taken == 0) {
        bool nothing = empty();
        mutex_unlock(queue_mutex);
        return nothing ? 0 : -1;
    }
    copy_out(read_pos, destination, static_cast<uint32_t>(taken));
    if (uint64_t{read_pos} + taken >= capacity) {
        wrapped = 0;  // the reader passed the end of the ring
    }
    read_pos = end;
    mutex_unlock(queue_mutex);
    return static_cast<int64_t>(taken);
}

int SensorQueue::wait() {
    mutex_lock(queue_mutex);
    bool idle = empty();
    consumer_waiting = idle;
    mutex_unlock(queue_mutex);
    if (!idle) {
        return 0;
    }
    mutex_lock(wait_mutex);
    event_wait(data_event, wait_mutex);
    return mutex_unlock(wait_mutex);
}

int32_t push_message(const uint8_t* data, uint32_t length, void* context) {
    auto* queue = static_cast<SensorQueue*>(context);
    if (!queue->fits(length)) {
        statistics().capture_drops.add();
        log_message(
            "ERROR - Record of %u bytes dropped: the queue holds at most %u (queue-size %u)",
            length, queue->capacity_bytes() - SensorQueue::length_bytes, queue->capacity_bytes());
        return -1;
    }
    return queue->push(data, length);
}

}  // namespace tarn::sensor
