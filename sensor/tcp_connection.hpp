#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace tarn::sensor {

// The system's socket calls, one small function each (tcp_socket_posix.cpp and
// tcp_socket_win32.cpp). Results are 0 or the system's error code unless said otherwise.
namespace socket_calls {

inline constexpr intptr_t no_socket = -1;

int open(intptr_t& handle);
int set_non_blocking(intptr_t handle);
// 0 also while the connection is still being made.
int start_connect(intptr_t handle, const char* ip, uint16_t port);
// The outcome of a connection attempt that reported writable.
int pending_error(intptr_t handle);
// 1 when writable, 0 when not within milliseconds, -1 with code on failure.
int wait_writable(intptr_t handle, int milliseconds, int& code);
// Bytes taken; 0 when the send buffer is full; -1 with code on failure.
int64_t send_some(intptr_t handle, const uint8_t* data, uint32_t length, int& code);
void close(intptr_t handle);
int startup();

}  // namespace socket_calls

// One outgoing non-blocking IPv4 connection; every failure is a SensorError.
class TcpConnection {
  public:
    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // A flag the waits look at: once it is set, a connect or a send ends with "stopped"
    // within a tenth of a second, whatever the time-out.
    void watch(const std::atomic<bool>* stop_flag) { stop = stop_flag; }
    // Waits up to timeout seconds (unsigned) for the connection.
    void connect_to(const char* ip, uint16_t port, int32_t timeout);
    // Every byte, or a SensorError; the time-out counts from the start of the call, not from
    // each partial send. sent() tells how many bytes the socket took either way.
    void send_all(const uint8_t* data, uint32_t length);
    uint32_t sent() const { return sent_bytes; }
    void close();
    bool is_open() const { return socket_handle != socket_calls::no_socket; }

  private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline() const;
    void wait_writable(Clock::time_point until);

    std::string ip;
    uint16_t port = 0;
    int32_t timeout = 0;
    intptr_t socket_handle = socket_calls::no_socket;
    uint32_t sent_bytes = 0;
    const std::atomic<bool>* stop = nullptr;
};

// Once per process before the processor starts (WSAStartup on Windows).
int network_startup();

}  // namespace tarn::sensor
