#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback_server.hpp"

namespace tarn::test::socket_shim {

void startup() {}

intptr_t listen_loopback(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool wait_readable(const std::vector<intptr_t>& handles, std::vector<bool>& ready,
                   int milliseconds) {
    std::vector<pollfd> entries;
    for (intptr_t handle : handles) {
        entries.push_back({static_cast<int>(handle), POLLIN, 0});
    }
    int result = poll(entries.data(), entries.size(), milliseconds);
    ready.assign(handles.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        ready[i] = (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    return result >= 0;
}

intptr_t accept_one(intptr_t listener) {
    int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? -1 : fd;
}

long receive_some(intptr_t handle, uint8_t* buffer, size_t size) {
    return static_cast<long>(recv(static_cast<int>(handle), buffer, size, 0));
}

void close_handle(intptr_t handle) {
    if (handle != -1) {
        close(static_cast<int>(handle));
    }
}

void reset_handle(intptr_t handle) {
    linger abort_close{1, 0};
    setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    close(static_cast<int>(handle));
}

}  // namespace tarn::test::socket_shim
