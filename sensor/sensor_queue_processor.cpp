#include "sensor/sensor_queue_processor.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "error/error.hpp"
#include "sensor/tcp_connection.hpp"
#include "sensor/wire_format.hpp"
#include "support/log.hpp"

namespace tarn::sensor {

namespace {

constexpr int32_t first_buffer_size = 4096;
constexpr int back_off_steps = 10;
constexpr uint32_t back_off_step_milliseconds = 1000;

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
    if (thread != nullptr) {
        return;
    }
    stop_requested = false;
    int code = thread_start(&thread, thread_entry, this);
    if (code != 0) {
        thread = nullptr;
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
    unsent_length = 0;
    TcpConnection connection;
    while (!stop_requested) {
        serve_first_reachable(connection, version.get());
        back_off();
    }
    connection.close();
}

// Targets in list order: the first that accepts a connection gets everything until a send to
// it fails or a stop; an unreachable one costs no pause before the next.
void SensorQueueProcessor::serve_first_reachable(TcpConnection& connection,
                                                 const uint8_t* version) {
    for (const config::Target& target : *targets) {
        if (stop_requested) {
            return;
        }
        if (connect(connection, target)) {
            deliver(connection, target, version);
            return;
        }
    }
}

bool SensorQueueProcessor::connect(TcpConnection& connection, const config::Target& target) {
    const char* ip = target.ip.c_str();
    int port = target.port;
    log_message("Connecting to %s:%d", ip, port);
    try {
        connection.connect_to(ip, target.port, static_cast<int32_t>(target.timeout));
        log_message("Connected to %s:%d", ip, port);
        return true;
    } catch (const std::exception& failure) {
        log_message("ERROR - Connect to %s:%d failed: %s", ip, port, failure.what());
        return false;
    }
}

// The version frame, then one frame per message, until a stop (the connection is closed) or a
// failure (logged; the connection is left for the next connect to close).
void SensorQueueProcessor::deliver(TcpConnection& connection, const config::Target& target,
                                   const uint8_t* version) {
    try {
        connection.send_all(version, wire::version_frame_size);
        while (!stop_requested) {
            if (unsent_length == 0 && !take_message()) {
                continue;
            }
            send_unsent(connection);
        }
        connection.close();
    } catch (const std::exception& failure) {
        log_message("ERROR - Send data to %s:%d failed: %s", target.ip.c_str(),
                    static_cast<int>(target.port), failure.what());
    }
}

// Pops the oldest message into the buffer; false when there was none to take yet (the buffer
// was too small and has grown, or the queue was empty and has been waited on).
bool SensorQueueProcessor::take_message() {
    int32_t length = queue->pop(buffer, static_cast<uint32_t>(buffer_size));
    if (length < 0) {
        grow_buffer();
        return false;
    }
    if (length == 0) {
        queue->wait();
        return false;
    }
    unsent_length = length;
    return true;
}

// A send that throws leaves the message unsent: it goes again, whole, on the next connection.
void SensorQueueProcessor::send_unsent(TcpConnection& connection) {
    const auto length = static_cast<uint32_t>(unsent_length);
    uint8_t prefix[wire::frame_prefix_size];
    wire::encode_frame_prefix(prefix, length);
    connection.send_all(prefix, sizeof prefix);
    connection.send_all(buffer, length);
    unsent_length = 0;
}

void SensorQueueProcessor::back_off() {
    for (int step = 0; step < back_off_steps && !stop_requested; ++step) {
        sleep_milliseconds(back_off_step_milliseconds);
    }
}

}  // namespace tarn::sensor
