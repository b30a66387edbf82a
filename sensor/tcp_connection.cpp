#include "sensor/tcp_connection.hpp"

#include <algorithm>

#include "error/error.hpp"

// The same sequence on every platform: a non-blocking connect, sends tried first and a
// writability wait only when the send buffer is full, waits in slices that a stop ends.
namespace tarn::sensor {

namespace {

constexpr int stop_check_ms = 100;
constexpr int longest_slice_ms = 86400000;
// A refusal of the agent's certificate comes within a round trip of the handshake; silence that
// long is acceptance. Waiting for it keeps a refused connection from taking records it would
// count as sent.
constexpr std::chrono::milliseconds verdict_wait{1000};

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
    Clock::time_point verdict_until{};  // from the end of the agent's side of the handshake
    for (TlsWant want; (want = session.handshake()) != TlsWant::nothing;) {
        if (want != TlsWant::verdict) {
            wait_for(want, until);
            continue;
        }
        if (verdict_until == Clock::time_point{}) {
            verdict_until = std::min(until, Clock::now() + verdict_wait);
        }
        if (!wait_until(TlsWant::read, verdict_until)) {
            session.take_silence_as_acceptance();
        }
    }
}

void TcpConnection::wait_for(TlsWant want, Clock::time_point until) {
    if (!wait_until(want, until)) {
        throw SensorError("select() timed out");
    }
}

bool TcpConnection::wait_until(TlsWant want, Clock::time_point until) {
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
            return true;
        }
        if (ready < 0) {
            error::throw_failure<SensorError>("select()", code);
        }
        if (Clock::now() >= until) {
            return false;
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
    // The time-out measures a stall, not a size: it starts again whenever bytes leave, so a
    // slow link that keeps moving is never cut, whatever a record's size.
    Clock::time_point until = deadline();
    while (sent_bytes < length) {
        TlsWant want = TlsWant::write;
        int64_t count = send_some(frames + sent_bytes, length - sent_bytes, want);
        if (count == 0) {
            wait_for(want, until);
            continue;
        }
        sent_bytes += static_cast<uint32_t>(count);
        until = deadline();
    }
}

int network_startup() {
    return socket_calls::startup();
}

}  // namespace tarn::sensor
