#pragma once
// Shared by the Linux tests: Frame Streams and dnstap builders, a stand-in session consumed on
// a thread, a DNS server's side of the socket, and a child process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "config/settings.hpp"
#include "net/etw_api.hpp"
#include "net/standin/dnstap.hpp"
#include "net/standin/standin_event.hpp"

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
inline Bytes text(const std::string& value) {  // with its NUL, as the stand-in's strings are
    return Bytes(value.c_str(), value.c_str() + value.size() + 1);
}
inline Bytes le16(unsigned value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}
inline int64_t filetime(uint64_t seconds, uint32_t nanoseconds) {
    return static_cast<int64_t>(seconds) * 10000000 + nanoseconds / 100 + 116444736000000000;
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
// Identity (skipped), type MESSAGE, the message from 192.0.2.7 to 127.0.0.53.
inline Bytes dnstap_frame(uint32_t type, uint32_t protocol, const Bytes& packet,
                          bool timed = true) {
    Proto message;
    message.number(1, type).number(2, 1).number(3, protocol);
    message.field(4, {192, 0, 2, 7}).field(5, {127, 0, 0, 53}).number(6, 53000);
    if (timed) {
        message.number(8, query_seconds).fixed(9, query_nanoseconds, 4);
        message.number(12, query_seconds + 1).fixed(13, 5000, 4);
    }
    message.field(type % 2 == 1 ? 10 : 14, packet);
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

struct ReadEvent {
    GUID provider;
    USHORT id;
    int64_t timestamp;
    void* context;
    Properties properties;
    Bytes get(const std::string& name) const {
        for (const auto& property : properties) {
            if (property.first == name) {
                return property.second;
            }
        }
        return {};
    }
};

// Reads every event back through the TDH calls, the way the decoder does.
struct Consumer {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ReadEvent> events;
    std::atomic<int> buffer_calls{0};
    std::atomic<bool> stop_when_idle{false}, stop_after_events{false}, throw_on_event{false};
    static void on_event(PEVENT_RECORD record) {
        auto* self = static_cast<Consumer*>(record->UserContext);
        if (self->throw_on_event) {
            throw std::runtime_error("callback failed");
        }
        const EVENT_HEADER& header = record->EventHeader;
        ReadEvent event{header.ProviderId,
                        header.EventDescriptor.Id,
                        header.TimeStamp.QuadPart,
                        record->UserContext,
                        {}};
        ULONG size = 0;
        EXPECT_EQ(TdhGetEventInformation(record, 0, nullptr, nullptr, &size),
                  ERROR_INSUFFICIENT_BUFFER);
        Bytes buffer(size);
        auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(buffer.data());
        EXPECT_EQ(TdhGetEventInformation(record, 0, nullptr, info, &size), ERROR_SUCCESS);
        for (ULONG i = 0; i < info->PropertyCount; ++i) {
            const uint8_t* name = buffer.data() + info->EventPropertyInfoArray[i].NameOffset;
            std::string ascii;
            for (const uint8_t* unit = name; unit[0] != 0; unit += 2) {
                ascii.push_back(static_cast<char>(unit[0]));
            }
            PROPERTY_DATA_DESCRIPTOR descriptor{reinterpret_cast<uintptr_t>(name), 0xFFFFFFFF, 0};
            ULONG value_size = 0;
            EXPECT_EQ(TdhGetPropertySize(record, 0, nullptr, 1, &descriptor, &value_size), 0u);
            Bytes value(value_size);
            EXPECT_EQ(TdhGetProperty(record, 0, nullptr, 1, &descriptor, value_size, value.data()),
                      0u);
            event.properties.emplace_back(ascii, value);
        }
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back(std::move(event));
        self->changed.notify_all();
    }
    static ULONG on_buffer(PEVENT_TRACE_LOGFILEA logfile) {
        auto* self = static_cast<Consumer*>(logfile->Context);
        ++self->buffer_calls;
        std::lock_guard<std::mutex> lock(self->mutex);
        return self->stop_when_idle || (self->stop_after_events && !self->events.empty()) ? FALSE
                                                                                          : TRUE;
    }
    bool wait_for(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return events.size() >= count; });
    }
    std::vector<ReadEvent> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::vector<uint16_t> xids() {  // the DNS message ids in arrival order
        std::vector<uint16_t> ids;
        for (const ReadEvent& event : snapshot()) {
            Bytes packet = event.get("PacketData");
            ids.push_back(packet.size() >= 2 ? static_cast<uint16_t>(packet[0] << 8 | packet[1])
                                             : 0);
        }
        return ids;
    }
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

// A session at a socket in its own directory, consumed by ProcessTrace on a thread.
class Trace {
  public:
    explicit Trace(bool enable = true) : name(fresh_session_name()) {
        EXPECT_EQ(start_session(name, socket_path, controller), ERROR_SUCCESS);
        if (enable) {
            EXPECT_EQ(ERROR_SUCCESS, EnableTraceEx2(controller, &net::dns_server_provider, 1, 4, 0,
                                                    0, 0, nullptr));
        }
        std::memset(&logfile, 0, sizeof logfile);
        logfile.LoggerName = const_cast<char*>(name.c_str());
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
        logfile.BufferCallback = Consumer::on_buffer;
        logfile.EventRecordCallback = Consumer::on_event;
        logfile.Context = &consumer;
    }
    ~Trace() {
        CloseTrace(handle);
        if (worker.joinable()) {
            worker.join();
        }
    }
    void run() {
        if (handle == INVALID_PROCESSTRACE_HANDLE) {
            handle = OpenTraceA(&logfile);
            ASSERT_NE(handle, INVALID_PROCESSTRACE_HANDLE);
        }
        if (worker.joinable()) {
            worker.join();
        }
        finished = false;
        worker = std::thread([this] {
            try {
                result = ProcessTrace(&handle, 1, nullptr, nullptr);
            } catch (const std::exception& failure) {
                thrown = failure.what();
            }
            std::lock_guard<std::mutex> lock(consumer.mutex);
            finished = true;
            consumer.changed.notify_all();
        });
    }
    bool wait_finished() {
        std::unique_lock<std::mutex> lock(consumer.mutex);
        return consumer.changed.wait_for(lock, std::chrono::seconds(3), [&] { return finished; });
    }
    TempDir directory;
    std::string socket_path = directory.path + "/dnstap.sock";
    std::string name;
    TRACEHANDLE controller = 0, handle = INVALID_PROCESSTRACE_HANDLE;
    EVENT_TRACE_LOGFILEA logfile;
    Consumer consumer;
    std::thread worker;
    bool finished = false;
    ULONG result = 12345;
    std::string thrown;
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
