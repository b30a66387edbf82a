#include "loopback_server.hpp"

#include <chrono>

#if defined(_WIN32)
#include <winsock2.h>
using Length = int;
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
using SOCKET = int;
using Length = socklen_t;
#define closesocket close
#endif

namespace tarn::test {

namespace {

bool readable(intptr_t handle, int seconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(handle), &set);
    timeval limit{seconds, 0};
    return select(static_cast<int>(handle) + 1, &set, nullptr, nullptr, &limit) > 0;
}

}  // namespace

Listener::Listener() {
#if defined(_WIN32)
    static WSADATA data;
    static int started = WSAStartup(0x0202, &data);
    (void)started;
#endif
    handle = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Length size = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (bind(static_cast<SOCKET>(handle), raw, size) == 0 &&
        listen(static_cast<SOCKET>(handle), 16) == 0 &&
        getsockname(static_cast<SOCKET>(handle), raw, &size) == 0) {
        port = ntohs(address.sin_port);
    }
}

Listener::~Listener() {
    close_connection(handle);
}

intptr_t Listener::accept(int seconds) {
    return readable(handle, seconds)
               ? static_cast<intptr_t>(::accept(static_cast<SOCKET>(handle), nullptr, nullptr))
               : -1;
}

Bytes read_bytes(intptr_t connection, size_t size, int seconds) {
    Bytes got;
    char buffer[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (got.size() < size && std::chrono::steady_clock::now() < deadline &&
           readable(connection, 1)) {
        int wanted = static_cast<int>(std::min(sizeof buffer, size - got.size()));
        int count = static_cast<int>(recv(static_cast<SOCKET>(connection), buffer, wanted, 0));
        if (count <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + count);
    }
    return got;
}

std::vector<Bytes> read_frames(intptr_t connection, size_t count, int seconds) {
    std::vector<Bytes> frames;
    while (frames.size() < count) {
        Bytes length = read_bytes(connection, 4, seconds);
        if (length.size() < 4) {
            break;
        }
        frames.push_back(read_bytes(
            connection,
            size_t{length[0]} << 24 | size_t{length[1]} << 16 | size_t{length[2]} << 8 | length[3],
            seconds));
    }
    return frames;
}

void close_connection(intptr_t connection, bool reset) {
    linger abort_close{1, 0};
    if (reset) {
        setsockopt(static_cast<SOCKET>(connection), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<const char*>(&abort_close), sizeof abort_close);
    }
    closesocket(static_cast<SOCKET>(connection));
}

}  // namespace tarn::test
