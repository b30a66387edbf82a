// Many agents at once against a collector, on loopback: each connection from an address of its
// own (127.1.x.y) sends the version frame, then its share of the records as fast as the
// collector reads them, four threads writing round robin over the connections. No DNS server:
// the collector's cost alone. Prints the records sent and the seconds it took. With --held,
// says "connected" once every agent is, sends on the first line of standard input and closes
// the connections at its end: a measurement of the streaming alone, without the kernel's cost of
// thousands of connections made and closed.
//   replay_agents PORT AGENTS RECORDS [--held]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_support.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"
#include "support/file_descriptor_posix.hpp"

namespace {

constexpr int threads = 4;
constexpr int records_per_write = 64;

// One write's worth of frames: queries and responses of 60 to 300 bytes.
std::vector<uint8_t> frames() {
    std::vector<uint8_t> out;
    for (int i = 0; i < records_per_write; ++i) {
        const std::vector<uint8_t> record =
            tarn::bench::dns_record(60 + (i * 37) % 240, i % 2 == 1, static_cast<uint16_t>(i));
        out.resize(out.size() + 4);
        tarn::store_be32(&out[out.size() - 4], static_cast<uint32_t>(record.size()));
        out.insert(out.end(), record.begin(), record.end());
    }
    return out;
}

bool send_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

int connect_from(int number, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = {}, to = {};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f010000u + static_cast<uint32_t>(number / 250) * 256 +
                                 static_cast<uint32_t>(number % 250) + 1);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("replay_agents: connect");
        std::exit(1);
    }
    return fd;
}

// False at the end of standard input.
bool wait_for_line() {
    for (int c; (c = std::getchar()) != EOF;) {
        if (c == '\n') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const bool held = argc == 5 && std::strcmp(argv[4], "--held") == 0;
    if (argc != 4 && !held) {
        std::fprintf(stderr, "usage: replay_agents PORT AGENTS RECORDS [--held]\n");
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const int agents = std::atoi(argv[2]);
    const long long writes = std::atoll(argv[3]) / records_per_write;
    if (port == 0 || agents < 1 || writes < 1) {
        std::fprintf(stderr, "replay_agents: PORT, AGENTS and RECORDS must be positive\n");
        return 2;
    }
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<tarn::FileDescriptor> connections;
    uint8_t version[tarn::sensor::wire::version_frame_size];
    tarn::sensor::wire::encode_version_frame(version);
    for (int i = 0; i < agents; ++i) {
        connections.emplace_back(connect_from(i, port));
        send_all(connections.back().get(), version, sizeof version);
    }
    const std::vector<uint8_t> batch = frames();
    if (held) {
        std::printf("connected\n");
        std::fflush(stdout);
        wait_for_line();
    }
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> senders;
    for (int t = 0; t < threads && t < agents; ++t) {
        senders.emplace_back([&, t] {  // the connections t, t + threads, ...: its own
            const long long own = (agents - t + threads - 1) / threads;
            for (long long w = t, k = 0; w < writes; w += threads, ++k) {
                const int fd = connections[static_cast<size_t>(t + threads * (k % own))].get();
                if (!send_all(fd, batch.data(), batch.size())) {
                    std::perror("replay_agents: send");
                    std::exit(1);
                }
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("records=%lld seconds=%.3f\n", writes * records_per_write, seconds);
    std::fflush(stdout);
    while (held && wait_for_line()) {
    }
    return 0;
}
