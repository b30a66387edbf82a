#include "sensor/tcp_connection.hpp"

#include <algorithm>

#include "error/error.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

// The same sequence on every platform: a non-blocking connect, sends tried first and a
// writability wait only when the send buffer is full, waits in slices that a stop ends.
namespace tarn::sensor {

namespace {

constexpr int stop_check_ms = 100;
constexpr int longest_slice_ms = 86400000;

// The end of the frame that holds position, walking on from the frame that ended at end.
uint32_t next_frame_end(const uint8_t* frames, uint32_t length, uint32_t position, uint32_t end) {
    while (end <= position && end < length) {
        if (length - end < wire::frame_prefix_size) {
            return length;
        }
        uint64_t next = uint64_t{end} + wire::frame_prefix_size + load_be32(frames + end);
        end = static_cast<uint32_t>(std::min<uint64_t>(next, length));
    }
    return end;
}

}  // namespace

TcpConnection::~TcpConnection() {
    close();
}

void TcpConnection::close() {
    if (socket_handle != socket_calls::no_socket) {
        session.end();
        calls.close(socket_handle);
        socket_handle = socket_calls::no_socket;
    }
}

TcpConnection::Clock::time_point TcpConnection::deadline() const {
    // The time-out is configured as unsigned seconds: -1 is a very long wait, not none.
    return Clock::now() + std::chrono::seconds(static_cast<uint32_t>(timeout));
}

void TcpConnection::connect_to(const char* target_ip, uint16_t target_port,
                               int32_t target_timeout) {
    close();
    interrupted = false;
    ip = target_ip;
    port = target_port;
    timeout = target_timeout;
    const Clock::time_point until = deadline();  // for the connect and the handshake together
    if (tls != nullptr) {
        load_tls();
    }
    if (int code = calls.open(socket_handle)) {
        error::throw_failure<SensorError>("socket()", code);
    }
    if (int code = calls.set_non_blocking(socket_handle)) {
        error::throw_failure<SensorError>("ioctlsocket(FIONBIO)", code);
    }
    if (int code = calls.start_connect(socket_handle, ip.c_str(), port)) {
        error::throw_failure<SensorError>("connect(" + ip + ")", code);
    }
    wait_for(TlsWant::write, until);
    // A refused or failed attempt also reports writable; its error waits on the socket.
    if (int code = calls.pending_error(socket_handle)) {
        error::throw_failure<SensorError>("connect(" + ip + ")", code);
    }
    if (tls != nullptr) {
        start_tls(until);
    }
}

void TcpConnection::load_tls() {
    if (tls != nullptr && !credentials) {
        credentials = std::make_unique<TlsCredentials>(*tls);
    }
}

void TcpConnection::start_tls(Clock::time_point until) {
    session.start(*credentials, socket_handle, tls->server_name.empty() ? ip : tls->server_name);
    for (TlsWant want; (want = session.handshake()) != TlsWant::nothing;) {
        wait_for(want, until);
    }
}

void TcpConnection::wait_for(TlsWant want, Clock::time_point until) {
    for (;;) {
        if (stop != nullptr && *stop) {
            interrupted = true;
            throw SensorError("stopped");
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        int64_t slice = std::clamp<int64_t>(left.count(), 0, longest_slice_ms);
        if (stop != nullptr) {
            slice = std::min<int64_t>(slice, stop_check_ms);
        }
        int code = 0;
        auto wait = want == TlsWant::read ? calls.wait_readable : calls.wait_writable;
        int ready = wait(socket_handle, static_cast<int>(slice), code);
        if (ready > 0) {
            return;
        }
        if (ready < 0) {
            error::throw_failure<SensorError>("select()", code);
        }
        if (Clock::now() >= until) {
            throw SensorError("select() timed out");
        }
    }
}

int64_t TcpConnection::send_some(const uint8_t* data, uint32_t length, TlsWant& want) {
    if (tls != nullptr) {
        return session.send_some(data, length, want);
    }
    want = TlsWant::write;
    int code = 0;
    int64_t count = calls.send_some(socket_handle, data, length, code);
    if (count < 0) {
        error::throw_failure<SensorError>("send()", code);
    }
    return count;
}

void TcpConnection::send_all(const uint8_t* frames, uint32_t length) {
    sent_bytes = 0;
    interrupted = false;
    if (tls != nullptr) {
        session.process_incoming();  // a collector that closed or failed gets nothing more
    }
    uint32_t frame_end = 0;
    Clock::time_point until{};
    while (sent_bytes < length) {
        if (sent_bytes >= frame_end) {
            frame_end = next_frame_end(frames, length, sent_bytes, frame_end);
            until = deadline();
        }
        TlsWant want = TlsWant::write;
        int64_t count = send_some(frames + sent_bytes, length - sent_bytes, want);
        if (count == 0) {
            wait_for(want, until);
            continue;
        }
        sent_bytes += static_cast<uint32_t>(count);
    }
}

int network_startup() {
    return socket_calls::startup();
}

}  // namespace tarn::sensor
