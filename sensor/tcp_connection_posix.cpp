#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "error/error.hpp"
#include "sensor/tcp_connection.hpp"

// BSD sockets in the same sequence as the Winsock back end: non-blocking connect, a
// writability wait with the target's time-out before every send, and the same failure texts.
namespace tarn::sensor {

TcpConnection::~TcpConnection() {
    close();
}

bool TcpConnection::is_open() const {
    return socket_handle >= 0;
}

void TcpConnection::close() {
    if (socket_handle >= 0) {
        int fd = static_cast<int>(socket_handle);
        shutdown(fd, SHUT_RDWR);
        ::close(fd);
        socket_handle = -1;
    }
}

void TcpConnection::connect_to(const char* target_ip, uint16_t target_port,
                               int32_t target_timeout) {
    close();
    ip = target_ip;
    port = target_port;
    timeout = target_timeout;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        int code = errno;
        error::throw_failure<SensorError>("socket()", code);
    }
    socket_handle = fd;
    int non_blocking = 1;
    if (ioctl(fd, FIONBIO, &non_blocking) != 0) {
        int code = errno;
        error::throw_failure<SensorError>("ioctlsocket(FIONBIO)", code);
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        int code = errno;
        error::throw_failure<SensorError>("connect(" + ip + ")", code);
    }
    wait_writable(timeout);

    // A refused or failed attempt also reports writable here; its error waits on the socket.
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        pending = errno;
    }
    if (pending != 0) {
        error::throw_failure<SensorError>("connect(" + ip + ")", pending);
    }
}

void TcpConnection::wait_writable(int32_t seconds) {
    using clock = std::chrono::steady_clock;
    // The time-out is configured as unsigned seconds.
    const auto deadline = clock::now() + std::chrono::seconds(static_cast<uint32_t>(seconds));
    pollfd entry{static_cast<int>(socket_handle), POLLOUT, 0};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        auto slice = std::min<int64_t>(left.count() > 0 ? left.count() : 0, 86400000);
        int result = poll(&entry, 1, static_cast<int>(slice));
        if (result == 0 && slice > 0 && clock::now() < deadline) {
            continue;  // a long time-out is waited in slices
        }
        if (result > 0) {
            return;
        }
        if (result == 0) {
            throw SensorError("select() timed out");
        }
        if (errno != EINTR) {
            int code = errno;
            error::throw_failure<SensorError>("select()", code);
        }
    }
}

void TcpConnection::send_all(const uint8_t* data, uint32_t length) {
    uint32_t sent = 0;
    while (sent < length) {
        // The send is tried first and the writability wait, with its time-out, comes only when
        // the send buffer is full: a wait before every send costs a system call per send and
        // halves the delivery rate, with the same outcome (a peer that stops reading still
        // ends in "select() timed out").
        // MSG_NOSIGNAL: a peer that reset the connection costs a failed send, not SIGPIPE.
        ssize_t count =
            send(static_cast<int>(socket_handle), data + sent, length - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_writable(timeout);
                continue;
            }
            int code = errno;
            error::throw_failure<SensorError>("send()", code);
        }
        if (count == 0) {
            throw SensorError("send() failed: socket closed");
        }
        sent += static_cast<uint32_t>(count);
    }
}

int network_startup() {
    return 0;
}

}  // namespace tarn::sensor
