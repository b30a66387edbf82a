#include <winsock2.h>

#include <algorithm>

#include "sensor/tcp_connection.hpp"

// Winsock under the calls of the connection; WSAGetLastError is the error code.
namespace tarn::sensor::socket_calls {

namespace {

SOCKET as_socket(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

}  // namespace

int open(intptr_t& handle) {
    SOCKET socket_handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    handle = static_cast<intptr_t>(socket_handle);
    return socket_handle == INVALID_SOCKET ? WSAGetLastError() : 0;
}

int set_non_blocking(intptr_t handle) {
    u_long non_blocking = 1;
    return ioctlsocket(as_socket(handle), FIONBIO, &non_blocking) == SOCKET_ERROR
               ? WSAGetLastError()
               : 0;
}

int start_connect(intptr_t handle, const char* ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip);
    if (::connect(as_socket(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        SOCKET_ERROR) {
        int code = WSAGetLastError();
        return code == WSAEWOULDBLOCK ? 0 : code;
    }
    return 0;
}

int pending_error(intptr_t handle) {
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(as_socket(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending),
                   &size) != 0) {
        return 0;  // some socket layers cannot tell; the first send will
    }
    return pending;
}

namespace {

int wait_ready(intptr_t handle, bool read, int milliseconds, int& code) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(as_socket(handle), &ready);
    int result = read ? select(1, &ready, nullptr, nullptr, &limit)
                      : select(1, nullptr, &ready, nullptr, &limit);
    if (result == SOCKET_ERROR) {
        code = WSAGetLastError();
        return -1;
    }
    return result > 0 ? 1 : 0;
}

}  // namespace

int wait_writable(intptr_t handle, int milliseconds, int& code) {
    return wait_ready(handle, false, milliseconds, code);
}

int wait_readable(intptr_t handle, int milliseconds, int& code) {
    return wait_ready(handle, true, milliseconds, code);
}

int64_t send_some(intptr_t handle, const uint8_t* data, uint32_t length, int& code) {
    int count = send(as_socket(handle), reinterpret_cast<const char*>(data),
                     static_cast<int>(std::min<uint32_t>(length, 0x7fffffff)), 0);
    if (count != SOCKET_ERROR) {
        return count;
    }
    code = WSAGetLastError();
    return code == WSAEWOULDBLOCK ? 0 : -1;
}

void close(intptr_t handle) {
    shutdown(as_socket(handle), SD_BOTH);
    closesocket(as_socket(handle));
}

int startup() {
    WSADATA data;
    return WSAStartup(0x0202, &data);
}

}  // namespace tarn::sensor::socket_calls
