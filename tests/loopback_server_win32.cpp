#include <winsock2.h>

#include "loopback_server.hpp"

namespace tarn::test::socket_shim {

void startup() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(0x0202, &data) == 0;
    }();
    (void)started;
}

intptr_t listen_loopback(uint16_t& port) {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(handle, 16) != 0 ||
        getsockname(handle, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        closesocket(handle);
        return -1;
    }
    port = ntohs(address.sin_port);
    return static_cast<intptr_t>(handle);
}

bool wait_readable(const std::vector<intptr_t>& handles, std::vector<bool>& ready,
                   int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    for (intptr_t handle : handles) {
        FD_SET(static_cast<SOCKET>(handle), &readable);
    }
    timeval limit{0, milliseconds * 1000};
    int result = select(0, &readable, nullptr, nullptr, &limit);
    ready.assign(handles.size(), false);
    if (result == SOCKET_ERROR) {
        return false;
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        ready[i] = FD_ISSET(static_cast<SOCKET>(handles[i]), &readable) != 0;
    }
    return true;
}

intptr_t accept_one(intptr_t listener) {
    SOCKET handle = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return handle == INVALID_SOCKET ? -1 : static_cast<intptr_t>(handle);
}

long receive_some(intptr_t handle, uint8_t* buffer, size_t size) {
    int count = recv(static_cast<SOCKET>(handle), reinterpret_cast<char*>(buffer),
                     static_cast<int>(size), 0);
    return count == SOCKET_ERROR ? -1 : count;
}

void close_handle(intptr_t handle) {
    if (handle != -1) {
        closesocket(static_cast<SOCKET>(handle));
    }
}

void reset_handle(intptr_t handle) {
    linger abort_close{1, 0};
    setsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abort_close), sizeof abort_close);
    closesocket(static_cast<SOCKET>(handle));
}

}  // namespace tarn::test::socket_shim
