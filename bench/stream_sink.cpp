// The agent's stream on loopback, written unread to a file the way fstrm_capture writes dnstap:
// to the DNS server's machine it is a collector on another host, so the benchmark sees the
// agent's own cost only. The records in the file are counted afterwards (bench/report.py).
//   stream_sink FILE    prints "listening on 127.0.0.1:PORT" on stderr; ends on SIGINT or SIGTERM
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/stop_signal.hpp"
#include "support/file_descriptor_posix.hpp"

namespace {

int fail(const char* call) {
    std::fprintf(stderr, "stream_sink: %s failed: %s\n", call, std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stream_sink FILE\n");
        return 2;
    }
    tarn::bench::stop_on_signals();

    tarn::FileDescriptor file(::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    tarn::FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!file.valid() || !listener.valid()) {
        return fail(file.valid() ? "socket" : "open");
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 4) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return fail("bind");
    }
    std::fprintf(stderr, "listening on 127.0.0.1:%u\n", ntohs(address.sin_port));

    std::vector<uint8_t> buffer(256 * 1024);
    tarn::FileDescriptor connection;  // the agent keeps one; a new one replaces it
    while (!tarn::bench::stop_requested) {
        pollfd fds[2] = {{listener.get(), POLLIN, 0}, {connection.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail("poll");
        }
        if (fds[1].revents != 0) {
            ssize_t got = ::recv(connection.get(), buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                connection.reset();
            } else if (!tarn::write_all(file.get(), buffer.data(), static_cast<size_t>(got))) {
                return fail("write");
            }
        }
        if (fds[0].revents != 0) {
            connection.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
    }
    return 0;
}
