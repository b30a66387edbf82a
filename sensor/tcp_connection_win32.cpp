#include <winsock2.h>

#include <algorithm>

#include "error/error.hpp"
#include "sensor/tcp_connection.hpp"

namespace tarn::sensor {

namespace {

SOCKET as_socket(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

}  // namespace

TcpConnection::~TcpConnection() {
    close();
}

bool TcpConnection::is_open() const {
    return as_socket(socket_handle) != INVALID_SOCKET;
}

void TcpConnection::close() {
    if (as_socket(socket_handle) != INVALID_SOCKET) {
        shutdown(as_socket(socket_handle), SD_BOTH);
        closesocket(as_socket(socket_handle));
        socket_handle = static_cast<intptr_t>(INVALID_SOCKET);
    }
}

void TcpConnection::connect_to(const char* target_ip, uint16_t target_port,
                               int32_t target_timeout) {
    close();
    ip = target_ip;
    port = target_port;
    timeout = target_timeout;

    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    socket_handle = static_cast<intptr_t>(handle);
    if (handle == INVALID_SOCKET) {
        error::throw_failure<SensorError>("socket()", WSAGetLastError());
    }
    u_long non_blocking = 1;
    if (ioctlsocket(handle, FIONBIO, &non_blocking) == SOCKET_ERROR) {
        error::throw_failure<SensorError>("ioctlsocket(FIONBIO)", WSAGetLastError());
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        SOCKET_ERROR) {
        int code = WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            error::throw_failure<SensorError>("connect(" + ip + ")", code);
        }
    }
    wait_writable(timeout);

    // Some socket layers report a failed attempt as writable with the error left pending.
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == 0 &&
        pending != 0) {
        error::throw_failure<SensorError>("connect(" + ip + ")", pending);
    }
}

void TcpConnection::wait_writable(int32_t seconds) {
    // The time-out is configured as unsigned seconds; select takes at most 10^8 of them.
    uint32_t whole = static_cast<uint32_t>(seconds);
    timeval limit{};
    limit.tv_sec = static_cast<long>(whole > 100000000u ? 100000000u : whole);
    limit.tv_usec = 0;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(as_socket(socket_handle), &writable);
    int result = select(1, nullptr, &writable, nullptr, &limit);
    if (result == SOCKET_ERROR) {
        error::throw_failure<SensorError>("select()", WSAGetLastError());
    }
    if (result == 0) {
        throw SensorError("select() timed out");
    }
}

void TcpConnection::send_all(const uint8_t* data, uint32_t length) {
    uint32_t sent = 0;
    while (sent < length) {
        wait_writable(timeout);
        int count = send(as_socket(socket_handle), reinterpret_cast<const char*>(data + sent),
                         static_cast<int>(std::min<uint32_t>(length - sent, 0x7fffffff)), 0);
        if (count == SOCKET_ERROR) {
            error::throw_failure<SensorError>("send()", WSAGetLastError());
        }
        if (count == 0) {
            throw SensorError("send() failed: socket closed");
        }
        sent += static_cast<uint32_t>(count);
    }
}

int network_startup() {
    WSADATA data;
    return WSAStartup(0x0202, &data);
}

}  // namespace tarn::sensor
