#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "config/settings.hpp"
#include "sensor/sensor_queue.hpp"
#include "support/threads.hpp"

namespace tarn::sensor {

class TcpConnection;

// The delivery thread: one target at a time, a VersionMessage first on every connection, one
// frame per queued message, a 10-second back-off, and the one failed message resent whole.
class SensorQueueProcessor {
  public:
    SensorQueueProcessor(SensorQueue& queue, const std::list<config::Target>& targets);
    ~SensorQueueProcessor();
    SensorQueueProcessor(const SensorQueueProcessor&) = delete;
    SensorQueueProcessor& operator=(const SensorQueueProcessor&) = delete;

    // Signalled when the delivery thread cannot work at all (its first buffers cannot be
    // allocated), so the agent stops instead of running on without delivering.
    void set_fatal_event(Event event) { fatal_event = event; }
    void start();
    void stop();
    void release_buffer();

  private:
    static uint32_t thread_entry(void* argument);
    void run();
    void serve_first_reachable(TcpConnection& connection, const uint8_t* version);
    bool connect(TcpConnection& connection, const config::Target& target);
    void deliver(TcpConnection& connection, const config::Target& target, const uint8_t* version);
    bool take_message();
    void send_unsent(TcpConnection& connection);
    void back_off();
    void grow_buffer();

    Thread thread = nullptr;
    std::atomic<bool> stop_requested{false};
    SensorQueue* queue;
    const std::list<config::Target>* targets;
    uint8_t* buffer = nullptr;
    int32_t buffer_size = 0;
    // Bytes of the message in buffer whose send has not yet succeeded whole; 0 when none.
    int32_t unsent_length = 0;
    Event fatal_event = nullptr;
};

}  // namespace tarn::sensor
