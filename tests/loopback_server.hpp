#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn::test {

using Bytes = std::vector<uint8_t>;

// What the server does with one accepted connection.
struct ConnectionPlan {
    enum class Mode { read_all, never_read, reset_after };
    Mode mode = Mode::read_all;
    size_t reset_after_bytes = 0;  // reset_after: read this many bytes, then send a reset
};

// A TCP listener on 127.0.0.1 (ephemeral port) served by a thread of its own. The plans apply
// to successive connections; the last one repeats.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::vector<ConnectionPlan> plans = {ConnectionPlan{}});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return listen_port; }
    // Bytes received so far, one entry per accepted connection.
    std::vector<Bytes> received() const;
    // Polls until condition holds on received(), or the limit passes.
    bool wait_for(const std::function<bool(const std::vector<Bytes>&)>& condition,
                  std::chrono::milliseconds limit) const;

  private:
    void serve();

    std::vector<ConnectionPlan> plans;
    intptr_t listener = -1;
    uint16_t listen_port = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex lock;
    std::vector<Bytes> connections;
    std::thread worker;
};

// A loopback port with nobody listening on it.
uint16_t unused_port();

// Splits a byte stream into frames (4-byte big-endian length, payload); false if it holds a
// partial or inconsistent frame at its end.
bool split_frames(const Bytes& stream, std::vector<Bytes>& frames);

namespace socket_shim {
// Platform sockets for the test server; handles are -1 when invalid.
void startup();
intptr_t listen_loopback(uint16_t& port);
// Waits up to the time for readability of each handle; fills ready flags. Returns false on
// error.
bool wait_readable(const std::vector<intptr_t>& handles, std::vector<bool>& ready,
                   int milliseconds);
intptr_t accept_one(intptr_t listener);
// Bytes read, 0 when the peer closed, -1 on error.
long receive_some(intptr_t handle, uint8_t* buffer, size_t size);
void close_handle(intptr_t handle);
// Closes with a reset instead of an orderly shutdown.
void reset_handle(intptr_t handle);
}  // namespace socket_shim

}  // namespace tarn::test
