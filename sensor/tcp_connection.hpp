#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.hpp"
#include "sensor/tls/session.hpp"

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
// The same for readable.
int wait_readable(intptr_t handle, int milliseconds, int& code);
// Bytes taken; 0 when the send buffer is full; -1 with code on failure.
int64_t send_some(intptr_t handle, const uint8_t* data, uint32_t length, int& code);
void close(intptr_t handle);
int startup();

}  // namespace socket_calls

// The calls a connection makes: the system's, or a test's that pins what a socket takes.
struct SocketLayer {
    int (*open)(intptr_t& handle) = socket_calls::open;
    int (*set_non_blocking)(intptr_t handle) = socket_calls::set_non_blocking;
    int (*start_connect)(intptr_t handle, const char* ip,
                         uint16_t port) = socket_calls::start_connect;
    int (*pending_error)(intptr_t handle) = socket_calls::pending_error;
    int (*wait_writable)(intptr_t handle, int milliseconds,
                         int& code) = socket_calls::wait_writable;
    int (*wait_readable)(intptr_t handle, int milliseconds,
                         int& code) = socket_calls::wait_readable;
    int64_t (*send_some)(intptr_t handle, const uint8_t* data, uint32_t length,
                         int& code) = socket_calls::send_some;
    void (*close)(intptr_t handle) = socket_calls::close;
};

// One outgoing non-blocking IPv4 connection; every failure is a SensorError.
class TcpConnection {
  public:
    explicit TcpConnection(const SocketLayer& layer = SocketLayer{}) : calls(layer) {}
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // A flag the waits look at: once it is set, a connect or a send ends with "stopped"
    // within a tenth of a second, whatever the time-out.
    void watch(const std::atomic<bool>* stop_flag) { stop = stop_flag; }
    // True when the last failure was that stop, not a fault of the peer or the network.
    bool stopped() const { return interrupted; }
    // TLS on every connection from now on, when settings say so (they must outlive this).
    void use_tls(const config::TlsSettings& settings) { tls = settings.on ? &settings : nullptr; }
    // Reads the TLS credentials unless they are read; a SensorError names what failed.
    void load_tls();
    // Waits up to timeout seconds (unsigned) for the connection and, with TLS, the handshake.
    void connect_to(const char* ip, uint16_t port, int32_t timeout);
    // Every byte of whole frames laid back to back, or a SensorError. The time-out is the
    // longest the link may stall: a slow link that keeps moving never fails, however long the
    // whole takes. sent() tells how many bytes the socket took either way (with TLS, the
    // plaintext of the records it took whole), exact at every moment.
    void send_all(const uint8_t* frames, uint32_t length);
    uint32_t sent() const { return sent_bytes; }
    void close();
    bool is_open() const { return socket_handle != socket_calls::no_socket; }

  private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline() const;
    // Until the socket is ready for want: false at until, a SensorError on failure or stop.
    bool wait_until(TlsWant want, Clock::time_point until);
    // The same, and a SensorError at until.
    void wait_for(TlsWant want, Clock::time_point until);
    void start_tls(Clock::time_point until);
    int64_t send_some(const uint8_t* data, uint32_t length, TlsWant& want);

    SocketLayer calls;
    std::string ip;
    uint16_t port = 0;
    int32_t timeout = 0;
    intptr_t socket_handle = socket_calls::no_socket;
    uint32_t sent_bytes = 0;
    const std::atomic<bool>* stop = nullptr;
    bool interrupted = false;
    const config::TlsSettings* tls = nullptr;
    std::unique_ptr<TlsCredentials> credentials;
    TlsSession session;
};

// Once per process before the processor starts (WSAStartup on Windows).
int network_startup();

}  // namespace tarn::sensor
