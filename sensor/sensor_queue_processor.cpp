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
    std::unique_ptr<uint8_t, FreeBytes> version(
        static_cast<uint8_t*>(std::malloc(wire::version_frame_size)));
    if (!version) {
        throw_allocation_failure("malloc", wire::version_frame_size, errno);
    }
    wire::encode_version_frame(version.get());
    if (buffer == nullptr) {
        grow_buffer();
    }

    TcpConnection connection;
    int32_t last_length = 0;
    bool pending = false;
    while (!stop_requested) {
        for (const config::Target& target : *targets) {
            if (stop_requested) {
                break;
            }
            const char* ip = target.ip.c_str();
            int port = target.port;
            log_message("Connecting to %s:%d", ip, port);
            try {
                connection.connect_to(ip, target.port, static_cast<int32_t>(target.timeout));
                log_message("Connected to %s:%d", ip, port);
            } catch (const std::exception& failure) {
                log_message("ERROR - Connect to %s:%d failed: %s", ip, port, failure.what());
                continue;
            }
            try {
                connection.send_all(version.get(), wire::version_frame_size);
                while (!stop_requested) {
                    if (pending) {
                        pending = false;
                    } else {
                        last_length = queue->pop(buffer, static_cast<uint32_t>(buffer_size));
                    }
                    if (last_length < 0) {
                        grow_buffer();
                    } else if (last_length == 0) {
                        queue->wait();
                    } else {
                        uint32_t length = static_cast<uint32_t>(last_length);
                        uint8_t prefix[wire::frame_prefix_size];
                        wire::encode_frame_prefix(prefix, length);
                        connection.send_all(prefix, sizeof prefix);
                        connection.send_all(buffer, length);
                    }
                }
                connection.close();
                break;
            } catch (const std::exception& failure) {
                log_message("ERROR - Send data to %s:%d failed: %s", ip, port, failure.what());
                if (last_length > 0) {
                    pending = true;
                }
                break;
            }
        }
        for (int step = 0; step < back_off_steps && !stop_requested; ++step) {
            sleep_milliseconds(back_off_step_milliseconds);
        }
    }
    connection.close();
}

}  // namespace tarn::sensor
