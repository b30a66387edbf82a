#include "sensor/sensor_queue_processor.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "error/error.hpp"
#include "sensor/tcp_connection.hpp"
#include "sensor/wire_format.hpp"
#include "support/back_off.hpp"
#include "support/byte_order.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace tarn::sensor {

namespace {

// A batch: every whole frame waiting, up to this much (or the one frame, when larger).
constexpr int32_t first_buffer_size = 256 * 1024;
// After a small batch the thread lets records gather instead of waking for each burst: at
// light and middling rates a wake-up, a copy and a send cost about as much as the bytes they
// carry, and a record waits at most this long longer.
constexpr uint32_t small_batch = 64 * 1024;
constexpr uint32_t gather_milliseconds = 50;

struct FreeBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};

[[noreturn]] void throw_allocation_failure(const char* call, int64_t size, int code) {
    error::throw_failure<SensorError>(call + ("(" + std::to_string(size) + ")"), code);
}

std::unique_ptr<uint8_t, FreeBytes> make_version_frame() {
    std::unique_ptr<uint8_t, FreeBytes> frame(
        static_cast<uint8_t*>(std::malloc(wire::version_frame_size)));
    if (!frame) {
        throw_allocation_failure("malloc", wire::version_frame_size, errno);
    }
    wire::encode_version_frame(frame.get());
    return frame;
}

}  // namespace

SensorQueueProcessor::SensorQueueProcessor(SensorQueue& queue,
                                           const std::list<config::Target>& targets)
    : queue(&queue), targets(&targets) {}

SensorQueueProcessor::~SensorQueueProcessor() {
    release_buffer();
}

void SensorQueueProcessor::start() {
    if (int code = start_once(thread, stop_requested, thread_entry, this)) {
        error::throw_failure<SensorError>("pthread_create()", code);
    }
}

void SensorQueueProcessor::stop() {
    if (thread == nullptr) {
        return;
    }
    stop_requested = true;
    event_signal(queue->data_event_handle());
    thread_join(thread);
    thread = nullptr;
}

void SensorQueueProcessor::release_buffer() {
    std::free(buffer);
    buffer = nullptr;
    buffer_size = 0;
}

void SensorQueueProcessor::grow_buffer() {
    if (buffer_size > 0) {
        int64_t doubled = int64_t{buffer_size} * 2;
        if (doubled > INT32_MAX) {
            throw_allocation_failure("realloc", doubled, ENOMEM);
        }
        void* grown = std::realloc(buffer, static_cast<size_t>(doubled));
        if (grown == nullptr) {
            throw_allocation_failure("realloc", doubled, errno);
        }
        buffer = static_cast<uint8_t*>(grown);
        buffer_size = static_cast<int32_t>(doubled);
        return;
    }
    void* fresh = std::malloc(first_buffer_size);
    if (fresh == nullptr) {
        throw_allocation_failure("malloc", first_buffer_size, errno);
    }
    buffer = static_cast<uint8_t*>(fresh);
    buffer_size = first_buffer_size;
}

uint32_t SensorQueueProcessor::thread_entry(void* argument) {
    auto* processor = static_cast<SensorQueueProcessor*>(argument);
    try {
        processor->run();
    } catch (const std::exception& failure) {
        // Only the first allocations get here: without them nothing can be delivered, so the
        // agent is told to stop rather than run on as if it were sending.
        log_message("ERROR - Sensor queue processor failed: %s", failure.what());
        processor->failed_fatally = true;
        if (processor->fatal_event != nullptr) {
            event_signal(processor->fatal_event);
        }
    }
    return 0;
}

void SensorQueueProcessor::run() {
    const std::unique_ptr<uint8_t, FreeBytes> version = make_version_frame();
    if (buffer == nullptr) {
        grow_buffer();
    }
    unsent_begin = unsent_end = 0;
    TcpConnection connection(socket_layer);
    connection.watch(&stop_requested);
    prepare_tls(connection);
    while (!stop_requested) {
        serve_first_reachable(connection, version.get());
        wait_for_retry(stop_requested);
    }
    connection.close();
}

// Files that cannot be read are said once, here; every connect reads them again and fails with
// the same words until they can be, while capture goes on.
void SensorQueueProcessor::prepare_tls(TcpConnection& connection) {
    if (tls == nullptr) {
        return;
    }
    connection.use_tls(*tls);
    try {
        connection.load_tls();
    } catch (const std::exception& failure) {
        log_message("ERROR - TLS: %s", failure.what());
    }
}

// Targets in list order: the first that accepts a connection gets everything until a send to
// it fails or a stop; an unreachable one costs no pause before the next.
void SensorQueueProcessor::serve_first_reachable(TcpConnection& connection,
                                                 const uint8_t* version) {
    int32_t place = 0;
    for (const config::Target& target : *targets) {
        if (stop_requested) {
            return;
        }
        if (connect(connection, target)) {
            statistics().target_in_use = place;
            deliver(connection, target, version);
            statistics().target_in_use = -1;
            return;
        }
        ++place;
    }
}

bool SensorQueueProcessor::connect(TcpConnection& connection, const config::Target& target) {
    const char* ip = target.ip.c_str();
    int port = target.port;
    log_message("Connecting to %s:%d", ip, port);
    try {
        connection.connect_to(ip, target.port, static_cast<int32_t>(target.timeout));
        log_message("Connected to %s:%d", ip, port);
        if (connected_before) {
            statistics().reconnections.add();
        }
        connected_before = true;
        return true;
    } catch (const std::exception& failure) {
        // A real failure counts even while a stop is under way; the stop itself is no failure.
        if (!connection.stopped()) {
            log_message("ERROR - Connect to %s:%d failed: %s", ip, port, failure.what());
        }
        return false;
    }
}

// The version frame, then every frame taken from the queue, until a stop (the connection is
// closed) or a failure (logged; the connection is left for the next connect to close).
void SensorQueueProcessor::deliver(TcpConnection& connection, const config::Target& target,
                                   const uint8_t* version) {
    try {
        connection.send_all(version, wire::version_frame_size);
        while (!stop_requested) {
            if (unsent_begin == unsent_end && !take_batch()) {
                continue;
            }
            send_unsent(connection);
        }
        connection.close();
    } catch (const std::exception& failure) {
        if (!connection.stopped()) {
            statistics().send_failures.add();
            log_message("ERROR - Send data to %s:%d failed: %s", target.ip.c_str(),
                        static_cast<int>(target.port), failure.what());
        }
    }
}

// Takes every whole frame waiting into the buffer; false when there was none to take yet (the
// buffer was too small and has grown, or the queue was empty and has been waited on).
bool SensorQueueProcessor::take_batch() {
    int64_t taken = queue->pop_frames(buffer, static_cast<uint32_t>(buffer_size));
    if (taken < 0) {
        grow_buffer();
        return false;
    }
    if (taken == 0) {
        queue->wait();
        return false;
    }
    unsent_begin = 0;
    unsent_end = static_cast<uint32_t>(taken);
    return true;
}

// Frames the socket took whole are done; a frame a failure cut goes again, whole and first, on
// the next connection, followed by the rest that never left.
void SensorQueueProcessor::send_unsent(TcpConnection& connection) {
    uint32_t length = unsent_end - unsent_begin;
    try {
        connection.send_all(buffer + unsent_begin, length);
    } catch (...) {
        mark_sent(unsent_begin + connection.sent());
        throw;
    }
    mark_sent(unsent_end);
    if (length < small_batch) {
        sleep_milliseconds(gather_milliseconds);
    }
}

// The socket took the unsent bytes up to position: the frames wholly before it are sent, and
// the unsent part starts again at the frame that holds it (unsent_end when all went).
void SensorQueueProcessor::mark_sent(uint32_t position) {
    uint64_t sent = 0;
    uint32_t frame = unsent_begin;
    for (uint32_t next; frame < unsent_end; frame = next, ++sent) {
        next = frame + wire::frame_prefix_size + load_be32(buffer + frame);
        if (next > position) {
            break;
        }
    }
    statistics().records_sent.add(sent);
    unsent_begin = frame;
}

}  // namespace tarn::sensor
