#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "config/settings.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/tcp_connection.hpp"
#include "support/threads.hpp"

namespace tarn::sensor {

// The delivery thread: one target at a time, a VersionMessage first on every connection, then
// every waiting message as a frame, in batches taken from the queue in one piece; a 10-second
// back-off after a failure, and the frame a failed send cut resent whole, first.
class SensorQueueProcessor {
  public:
    SensorQueueProcessor(SensorQueue& queue, const std::list<config::Target>& targets);
    ~SensorQueueProcessor();
    SensorQueueProcessor(const SensorQueueProcessor&) = delete;
    SensorQueueProcessor& operator=(const SensorQueueProcessor&) = delete;

    // Signalled when the delivery thread cannot work at all (its first buffers cannot be
    // allocated), so the agent stops instead of running on without delivering.
    void set_fatal_event(Event event) { fatal_event = event; }
    // Whether the delivery thread ended that way: the run then ends as a failure.
    bool failed() const { return failed_fatally; }
    // The socket calls of every connection; set before start.
    void use_socket_layer(const SocketLayer& layer) { socket_layer = layer; }
    // TLS for every connection when settings say so (they must outlive the thread); before start.
    void use_tls(const config::TlsSettings& settings) { tls = &settings; }
    void start();
    void stop();
    void release_buffer();

  private:
    static uint32_t thread_entry(void* argument);
    void run();
    void prepare_tls(TcpConnection& connection);
    void serve_first_reachable(TcpConnection& connection, const uint8_t* version);
    bool connect(TcpConnection& connection, const config::Target& target);
    void deliver(TcpConnection& connection, const config::Target& target, const uint8_t* version);
    bool take_batch();
    void send_unsent(TcpConnection& connection);
    void mark_sent(uint32_t position);
    void grow_buffer();

    Thread thread = nullptr;
    std::atomic<bool> stop_requested{false};
    SensorQueue* queue;
    const std::list<config::Target>* targets;
    uint8_t* buffer = nullptr;
    int32_t buffer_size = 0;
    // The frames in buffer not yet handed whole to a socket: [unsent_begin, unsent_end).
    uint32_t unsent_begin = 0;
    uint32_t unsent_end = 0;
    bool connected_before = false;
    Event fatal_event = nullptr;
    std::atomic<bool> failed_fatally{false};
    SocketLayer socket_layer;
    const config::TlsSettings* tls = nullptr;
};

}  // namespace tarn::sensor
