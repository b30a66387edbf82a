// The floor under the agent's capture: a reader of a DNS server's dnstap stream that does the
// Frame Streams handshake, counts the data frames and discards them, as cheaply as a receiver
// can: large reads, and after each read about 1 ms for frames to gather before the next.
//   bare_reader SOCKET    prints "frames N" on stderr when SIGINT or SIGTERM ends it
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "bench/stop_signal.hpp"
#include "net/standin/frame_streams.hpp"
#include "support/file_descriptor_posix.hpp"

namespace {

namespace fs = tarn::net::frame_streams;

constexpr size_t read_size = 256 * 1024;
constexpr long gather_ns = 1000000;

struct Writer final : fs::FrameHandler {
    explicit Writer(int fd) : socket(fd) {}
    const char* on_data_frame(const uint8_t*, uint32_t) override {
        ++frames;
        return nullptr;
    }
    bool on_reply(const uint8_t* data, size_t size) override {
        return tarn::write_all(socket.get(), data, size);
    }
    tarn::FileDescriptor socket;
    fs::Reader reader;
    uint64_t frames = 0;
};

int listen_unix(const char* path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    ::unlink(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_reader SOCKET\n");
        return 2;
    }
    tarn::bench::stop_on_signals();
    signal(SIGPIPE, SIG_IGN);  // a FINISH to a server that has already gone costs nothing
    tarn::FileDescriptor listener(listen_unix(argv[1]));
    if (!listener.valid()) {
        std::fprintf(stderr, "bare_reader: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::vector<std::unique_ptr<Writer>> writers;
    std::vector<uint8_t> buffer(read_size);
    uint64_t finished_frames = 0;
    while (!tarn::bench::stop_requested) {
        std::vector<pollfd> fds = {{listener.get(), POLLIN, 0}};
        for (const auto& writer : writers) {
            fds.push_back({writer->socket.get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        for (size_t i = writers.size(); i > 0; --i) {
            Writer& writer = *writers[i - 1];
            if (fds[i].revents == 0) {
                continue;
            }
            ssize_t got = ::read(writer.socket.get(), buffer.data(), buffer.size());
            if (got > 0) {
                writer.reader.feed(buffer.data(), static_cast<size_t>(got), writer);
            }
            if (got <= 0 || writer.reader.done()) {
                finished_frames += writer.frames;
                writers.erase(writers.begin() + static_cast<std::ptrdiff_t>(i - 1));
            }
        }
        if (fds[0].revents != 0) {
            writers.push_back(std::make_unique<Writer>(
                ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)));
        }
        const timespec gather = {0, gather_ns};
        nanosleep(&gather, nullptr);
    }
    for (const auto& writer : writers) {
        finished_frames += writer->frames;
    }
    std::fprintf(stderr, "frames %llu\n", static_cast<unsigned long long>(finished_frames));
    return 0;
}
