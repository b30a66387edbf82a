#pragma once
// Shared by the Linux tests: Frame Streams and dnstap builders, the capture path on a stand-in
// session, a DNS server's side of the socket, and a child process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "config/settings.hpp"
#include "log_capture.hpp"
#include "net/etw_api.hpp"
#include "net/etw_session.hpp"
#include "net/standin/dnstap.hpp"
#include "sensor/sensor_queue.hpp"
#include "test_provider.hpp"

namespace tarn::test {

using Bytes = std::vector<uint8_t>;
using Properties = std::vector<std::pair<std::string, Bytes>>;

inline void put_be32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}
inline Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A tiny protobuf writer for hand-built messages.
struct Proto {
    Proto& varint(uint64_t value) {
        for (; value >= 0x80; value >>= 7) {
            bytes.push_back(static_cast<uint8_t>(value | 0x80));
        }
        return raw({static_cast<uint8_t>(value)});
    }
    Proto& tag(uint32_t field, uint32_t wire) { return varint(uint64_t{field} << 3 | wire); }
    Proto& number(uint32_t field, uint64_t value) { return tag(field, 0).varint(value); }
    Proto& fixed(uint32_t field, uint64_t value, int size) {
        tag(field, size == 4 ? 5 : 1);
        for (int i = 0; i < size; ++i) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    Proto& field(uint32_t field, const Bytes& value) {
        return tag(field, 2).varint(value.size()).raw(value);
    }
    Proto& raw(const Bytes& value) {
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    Bytes bytes;
};

inline constexpr uint64_t query_seconds = 1735689600;  // 2025-01-01T00:00:00Z
inline constexpr uint32_t query_nanoseconds = 123456789;

// One question: www.example.test.
inline Bytes dns_message(uint16_t id, uint16_t flags, uint16_t qtype = 1) {
    Bytes packet;  // ID, flags, one question, no other records
    for (uint16_t field : {id, flags, uint16_t{1}, uint16_t{0}, uint16_t{0}, uint16_t{0}, qtype}) {
        packet.push_back(static_cast<uint8_t>(field >> 8));
        packet.push_back(static_cast<uint8_t>(field));
    }
    const std::string name("\3www\7example\4test", 18);
    packet.insert(packet.end() - 2, name.begin(), name.end());
    return joined({packet, {0, 1}});
}
// Identity (skipped), type MESSAGE, the message from 192.0.2.7 to 127.0.0.53, with its times if
// timed; the fields numbered in left_out are left out, extra ones come last.
inline Bytes dnstap_frame(uint32_t type, uint32_t protocol, const Bytes& packet, bool timed = true,
                          const std::vector<uint32_t>& left_out = {}, const Bytes& extra = {}) {
    Proto message;
    message.number(1, type).number(2, 1).number(3, protocol).number(6, 53000);
    const std::pair<uint32_t, Bytes> fields[] = {
        {4, {192, 0, 2, 7}}, {5, {127, 0, 0, 53}}, {type % 2 == 1 ? 10u : 14u, packet}};
    for (const auto& [number, value] : fields) {
        if (std::find(left_out.begin(), left_out.end(), number) == left_out.end()) {
            message.field(number, value);
        }
    }
    if (timed) {
        message.number(8, query_seconds).fixed(9, query_nanoseconds, 4);
        message.number(12, query_seconds + 1).fixed(13, 5000, 4);
    }
    message.raw(extra);
    return Proto().field(1, {'n', 's'}).number(15, 1).field(14, message.bytes).bytes;
}
inline Bytes data_frame(const Bytes& payload) {
    Bytes frame;
    put_be32(frame, static_cast<uint32_t>(payload.size()));
    return joined({frame, payload});
}
inline Bytes control_frame(uint32_t type, const std::vector<std::string>& content_types = {}) {
    Bytes body;
    put_be32(body, type);
    for (const std::string& content_type : content_types) {
        put_be32(body, 1);
        put_be32(body, static_cast<uint32_t>(content_type.size()));
        body.insert(body.end(), content_type.begin(), content_type.end());
    }
    return joined({{0, 0, 0, 0}, data_frame(body)});
}
inline const std::string dnstap_type = "protobuf:dnstap.Dnstap";
inline const Bytes accept_frame = control_frame(1, {dnstap_type});
inline const Bytes finish_frame = {0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 5};

inline size_t open_descriptors() {  // without the one that lists them
    return static_cast<size_t>(
               std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) -
           1;
}

inline int connect_unix(const std::string& path, bool nonblocking = false) {  // -1 on failure
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct TempDir {
    TempDir() {  // 0711: others may pass through to the socket, as to /run/sabrel-agent
        char pattern[] = "/tmp/tarn-dnstap-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern), nullptr);
        ::chmod(pattern, 0711);
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

inline std::string fresh_session_name() {
    static int count = 0;
    return "standin-test-" + std::to_string(++count);
}

inline ULONG start_session(const std::string& name, const std::string& socket,
                           TRACEHANDLE& handle) {
    config::dnstap_socket = socket;
    Bytes block(sizeof(EVENT_TRACE_PROPERTIES) + name.size() + 1);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    return StartTraceA(&handle, name.c_str(), properties);
}

// Like logman stop from outside: the next start makes the session anew.
inline void stop_session_from_outside() {
    EVENT_TRACE_PROPERTIES properties{};
    ControlTraceA(0, "sabrel-agent", &properties, EVENT_TRACE_CONTROL_STOP);
}

// The agent's capture path (session, decoder, queue) made anew on a socket in its own
// directory; the DNS message id of each record taken from the queue, in order.
struct Capture {
    Capture() {
        stop_session_from_outside();
        config::dnstap_socket = socket_path;
        LogCapture log;
        session.set_callback(sensor::push_message, &queue);
        session.start();
        EXPECT_TRUE(log.wait_for("Entering ETW trace processing loop..."));
    }
    ~Capture() { session.stop(); }
    bool wait_for(size_t count, int seconds = 5) {
        uint8_t record[4096];
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
             ids.size() < count && std::chrono::steady_clock::now() < end;) {
            if (queue.pop(record, sizeof record) <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            } else {  // the packet after time, device, server and transport
                size_t packet = 6 + record[5];
                packet += 2 + record[packet];
                ids.push_back(static_cast<uint16_t>(record[packet] << 8 | record[packet + 1]));
            }
        }
        return ids.size() >= count;
    }
    TempDir directory;
    std::string socket_path = directory.path + "/dnstap.sock";
    sensor::SensorQueue queue{1 << 20};
    net::EtwSession session;
    std::vector<uint16_t> ids;
};

// The DNS server's side of a Frame Streams connection.
class Writer {
  public:
    explicit Writer(const std::string& path) : fd(connect_unix(path)), connected(fd >= 0) {}
    ~Writer() { ::close(fd); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    void send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void query(uint16_t id, uint32_t protocol = net::dnstap::udp) {
        send(data_frame(dnstap_frame(net::dnstap::client_query, protocol, dns_message(id, 0))));
    }
    Bytes receive(size_t size) {  // up to size bytes within 3 s; empty once the peer closed
        Bytes got;
        uint8_t buffer[512];
        pollfd ready{fd, POLLIN, 0};
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
             !closed && got.size() < size && std::chrono::steady_clock::now() < end;) {
            if (::poll(&ready, 1, 50) > 0) {
                ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - got.size()), 0);
                closed = n <= 0;  // an orderly close, or a reset
                got.insert(got.end(), buffer, buffer + std::max<ssize_t>(n, 0));
            }
        }
        return got;
    }
    bool wait_closed() {
        while (!closed && !receive(1).empty()) {
        }
        return closed;
    }
    void handshake() {
        send(control_frame(4, {dnstap_type}));
        EXPECT_EQ(receive(accept_frame.size()), accept_frame);
        start();
    }
    void start() { send(control_frame(2, {dnstap_type})); }  // unidirectional
    void finish() {
        send(control_frame(3));
        EXPECT_EQ(receive(finish_frame.size()), finish_frame);
        EXPECT_TRUE(wait_closed());
    }
    int fd;
    bool connected = false, closed = false;
};

// A child process; its standard output and error, together, once it has ended. Signals start at
// their defaults.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        char path[] = "/tmp/tarn-child-XXXXXX";
        file = ::mkostemp(path, O_CLOEXEC);
        ::unlink(path);
        if ((pid = ::fork()) == 0) {
            ::dup2(file, 1);
            ::dup2(file, 2);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGINT, SIG_DFL);
            ::signal(SIGTERM, SIG_DFL);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid > 0 && status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(file);
    }
    // Stops it with sig; its exit status (128 + signal when killed), or -1 if it did not end
    // within 10 s.
    int stop(int sig) {
        ::kill(pid, sig);
        for (int i = 0, raw = 0; i < 100 && status < 0; ++i) {
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else {
                ::usleep(100000);
            }
        }
        char buffer[4096];
        for (ssize_t n;
             (n = ::pread(file, buffer, sizeof buffer, static_cast<off_t>(output.size()))) > 0;) {
            output.append(buffer, static_cast<size_t>(n));
        }
        return status;
    }
    pid_t pid = -1;
    int status = -1;
    std::string output;

  private:
    int file = -1;
};

}  // namespace tarn::test
