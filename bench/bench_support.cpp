#include "bench_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "sensor/sensor_queue.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

extern char** environ;

namespace tarn::bench {

namespace {

constexpr char device_text[] = "192.0.2.77";
constexpr char server_text[] = "127.0.0.1";
constexpr uint32_t record_time = 1735689600;  // 2025-01-01T00:00:00Z

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.resize(out.size() + 2);
    store_be16(out.data() + out.size() - 2, value);
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening socket on a free loopback port.
int listen_loopback(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("loopback listener: ") + std::strerror(errno));
    }
    port = ntohs(address.sin_port);
    return fd;
}

uint64_t status_field(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t key_length = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, key_length, key) == 0) {
            return std::stoull(line.substr(key_length)) * 1024;  // reported in kB
        }
    }
    return 0;
}

}  // namespace

std::vector<uint8_t> dns_packet(size_t size, bool response, uint16_t id) {
    std::vector<uint8_t> out;
    out.reserve(size + 80);
    put16(out, id);
    put16(out, response ? 0x8180 : 0x0100);
    put16(out, 1);                 // questions
    put16(out, response ? 1 : 0);  // answers
    put16(out, 0);
    put16(out, 1);  // the OPT record
    for (const char* label : {"www", "example", "test"}) {
        out.push_back(static_cast<uint8_t>(std::strlen(label)));
        out.insert(out.end(), label, label + std::strlen(label));
    }
    out.push_back(0);
    put16(out, 1);  // A
    put16(out, 1);  // IN
    if (response) {
        put16(out, 0xC00C);
        put16(out, 1);
        put16(out, 1);
        put16(out, 0);
        put16(out, 300);
        put16(out, 4);
        for (uint8_t byte : {192, 0, 2, 10}) {
            out.push_back(byte);
        }
    }
    // OPT with an EDNS padding option (12) that takes the packet to the size asked for.
    size_t base = out.size() + 11 + 4;
    size_t padding = size > base ? size - base : 0;
    out.push_back(0);
    put16(out, 41);
    put16(out, 1232);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint16_t>(4 + padding));
    put16(out, 12);
    put16(out, static_cast<uint16_t>(padding));
    out.insert(out.end(), padding, 0);
    return out;
}

std::vector<uint8_t> dns_record(size_t packet_size, bool response, uint16_t id) {
    std::vector<uint8_t> packet = dns_packet(packet_size, response, id);
    sensor::wire::RecordHeader header;
    header.time = record_time;
    header.device_ip = device_text;
    header.server_ip = server_text;
    std::vector<uint8_t> record(sensor::wire::record_size(header, packet.size()));
    std::copy(packet.begin(), packet.end(),
              sensor::wire::encode_record_header(header, record.data()));
    return record;
}

void warm_ring(sensor::SensorQueue& queue) {
    std::vector<uint8_t> block(64u << 10, 0xA5);
    const auto size = static_cast<uint32_t>(std::min<uint64_t>(
        block.size(), queue.capacity_bytes() > 8 ? queue.capacity_bytes() / 2 : 1));
    for (uint64_t written = 0; written <= queue.capacity_bytes(); written += size + 4) {
        queue.push(block.data(), size);
        while (queue.pop(block.data(), static_cast<uint32_t>(block.size())) > 0) {
        }
    }
}

uint64_t percentile(const std::vector<uint32_t>& sorted, double q) {
    if (sorted.empty()) {
        return 0;
    }
    auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

uint64_t resident_bytes(pid_t pid) {
    return status_field(pid, "VmRSS:");
}

uint64_t peak_resident_bytes(pid_t pid) {
    return status_field(pid, "VmHWM:");
}

CollectorProcess::CollectorProcess() {
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2() failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    char program[] = TARN_COLLECTOR_BINARY;
    char port_option[] = "--port";
    char zero[] = "0";
    char* argv[] = {program, port_option, zero, nullptr};
    int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
    if (spawned != 0) {
        pid = -1;
        throw std::runtime_error(std::string("collector: ") + std::strerror(spawned));
    }
    // The first stderr line names the port.
    std::string first;
    char c = 0;
    while (first.size() < 256 && ::read(err_fd, &c, 1) == 1 && c != '\n') {
        first += c;
    }
    size_t colon = first.rfind(':');
    if (first.compare(0, 13, "listening on ") != 0 || colon == std::string::npos) {
        throw std::runtime_error("collector did not start: " + first);
    }
    listen_port = static_cast<uint16_t>(std::stoul(first.substr(colon + 1)));
    // Later notes go nowhere: a full stderr pipe must not stall the collector.
    ::fcntl(err_fd, F_SETFL, O_NONBLOCK);
    reader = std::thread([this] { read_output(); });
}

void CollectorProcess::read_output() {
    std::vector<char> buffer(1 << 16);
    char notes[4096];
    for (;;) {
        ssize_t got = ::read(out_fd, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        uint64_t found = 0;
        const char* at = buffer.data();
        const char* end = at + got;
        while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr) {
            ++found;
            ++at;
        }
        line_count.fetch_add(found, std::memory_order_release);
        while (::read(err_fd, notes, sizeof notes) > 0) {
        }
    }
}

bool CollectorProcess::wait_lines(uint64_t count, double timeout_seconds) const {
    int64_t deadline = now_ns() + static_cast<int64_t>(timeout_seconds * 1e9);
    while (lines() < count) {
        if (now_ns() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

CollectorProcess::~CollectorProcess() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    if (reader.joinable()) {
        reader.join();
    }
    ::close(out_fd);
    ::close(err_fd);
}

namespace {

struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct FreeSsl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// The server end of TLS on a connected blocking socket, as the collector of tls_directory.
std::unique_ptr<SSL, FreeSsl> accept_tls(int fd, const std::string& tls_directory) {
    std::unique_ptr<SSL_CTX, FreeContext> context(SSL_CTX_new(TLS_server_method()));
    const std::string certificate = tls_directory + "/collector.pem";
    const std::string key = tls_directory + "/collector.key";
    if (!context || SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("the sink cannot use " + certificate);
    }
    std::unique_ptr<SSL, FreeSsl> ssl(SSL_new(context.get()));
    SSL_set_fd(ssl.get(), fd);
    return SSL_accept(ssl.get()) == 1 ? std::move(ssl) : nullptr;
}

}  // namespace

DrainSink::DrainSink(const std::string& tls_directory) {
    listener = listen_loopback(listen_port);
    worker = std::thread([this, tls_directory] {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        std::unique_ptr<SSL, FreeSsl> tls;
        if (!tls_directory.empty() && !(tls = accept_tls(fd, tls_directory))) {
            ::close(fd);
            return;
        }
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            ssize_t got = tls ? SSL_read(tls.get(), buffer.data(), 1 << 16)
                              : ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                break;
            }
            last_arrival.store(now_ns(), std::memory_order_relaxed);
            received.fetch_add(static_cast<uint64_t>(got), std::memory_order_release);
        }
        ::close(fd);
    });
}

int64_t DrainSink::wait_bytes(uint64_t total, double timeout_seconds) const {
    int64_t deadline = now_ns() + static_cast<int64_t>(timeout_seconds * 1e9);
    while (received.load(std::memory_order_acquire) < total) {
        if (now_ns() > deadline) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return last_arrival.load(std::memory_order_relaxed);
}

DrainSink::~DrainSink() {
    // Unblocks an accept that never got its connection.
    ::shutdown(listener, SHUT_RDWR);
    if (worker.joinable()) {
        worker.join();
    }
    ::close(listener);
}

StalledSink::StalledSink() {
    listener = listen_loopback(listen_port);
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2() failed");
    }
    worker = std::thread([this] {
        for (;;) {
            pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
                return;
            }
            int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                accepted.push_back(fd);  // held open, never read
            }
        }
    });
}

StalledSink::~StalledSink() {
    char one = 1;
    ssize_t ignored = ::write(wake[1], &one, 1);
    (void)ignored;
    worker.join();
    for (int fd : accepted) {
        ::close(fd);
    }
    ::close(listener);
    ::close(wake[0]);
    ::close(wake[1]);
}

uint16_t closed_port() {
    uint16_t port = 0;
    int fd = listen_loopback(port);
    ::close(fd);
    return port;
}

int connect_loopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace tarn::bench
