#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "sensor/tcp_connection.hpp"

// BSD sockets under the calls of the connection; errno is the error code.
namespace tarn::sensor::socket_calls {

int open(intptr_t& handle) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    handle = fd;
    return fd < 0 ? errno : 0;
}

int set_non_blocking(intptr_t handle) {
    int non_blocking = 1;
    return ::ioctl(static_cast<int>(handle), FIONBIO, &non_blocking) != 0 ? errno : 0;
}

int start_connect(intptr_t handle, const char* ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip);
    if (::connect(static_cast<int>(handle), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) != 0 &&
        errno != EINPROGRESS) {
        return errno;
    }
    return 0;
}

int pending_error(intptr_t handle) {
    int pending = 0;
    socklen_t size = sizeof pending;
    if (::getsockopt(static_cast<int>(handle), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        return errno;
    }
    return pending;
}

namespace {

int wait_ready(intptr_t handle, short events, int milliseconds, int& code) {
    pollfd entry{static_cast<int>(handle), events, 0};
    int result = ::poll(&entry, 1, milliseconds);
    if (result < 0 && errno != EINTR) {
        code = errno;
        return -1;
    }
    return result > 0 ? 1 : 0;
}

}  // namespace

int wait_writable(intptr_t handle, int milliseconds, int& code) {
    return wait_ready(handle, POLLOUT, milliseconds, code);
}

int wait_readable(intptr_t handle, int milliseconds, int& code) {
    return wait_ready(handle, POLLIN, milliseconds, code);
}

int64_t send_some(intptr_t handle, const uint8_t* data, uint32_t length, int& code) {
    // MSG_NOSIGNAL: a peer that reset the connection costs a failed send, not SIGPIPE.
    for (;;) {
        ssize_t count = ::send(static_cast<int>(handle), data, length, MSG_NOSIGNAL);
        if (count >= 0) {
            return count;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            code = errno;
            return -1;
        }
    }
}

void close(intptr_t handle) {
    ::shutdown(static_cast<int>(handle), SHUT_RDWR);
    ::close(static_cast<int>(handle));
}

int startup() {
    return 0;
}

}  // namespace tarn::sensor::socket_calls
