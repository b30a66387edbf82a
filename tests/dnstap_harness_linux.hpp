#pragma once
// Shared by the Linux capture, hostile-input, collector and soak tests: Frame Streams and
// dnstap builders, a stand-in session consumed on a thread, a DNS server's side of the socket,
// and a child process with its output captured.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/dnstap.hpp"
#include "net/etw_api.hpp"

namespace tarn::test {

using Bytes = std::vector<uint8_t>;
using Properties = std::vector<std::pair<std::string, Bytes>>;

void put_be32(Bytes& out, uint32_t value);
Bytes joined(const std::vector<Bytes>& parts);
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
    Proto& varint(uint64_t value);
    Proto& tag(uint32_t field, uint32_t wire) { return varint(uint64_t{field} << 3 | wire); }
    Proto& number(uint32_t field, uint64_t value) { return tag(field, 0).varint(value); }
    Proto& fixed(uint32_t field, uint64_t value, int size);
    Proto& field(uint32_t field, const Bytes& value);
    Proto& raw(const Bytes& value);
    Bytes bytes;
};

inline constexpr uint64_t query_seconds = 1735689600;  // 2025-01-01T00:00:00Z
inline constexpr uint32_t query_nanoseconds = 123456789;
extern const std::string dnstap_type;
extern const Bytes accept_frame, finish_frame;

// One question: www.example.test.
Bytes dns_message(uint16_t id, uint16_t flags, uint16_t qtype = 1);
// Identity (skipped), type MESSAGE, the message from 192.0.2.7 to 127.0.0.53.
Bytes dnstap_frame(uint32_t type, uint32_t protocol, const Bytes& packet, bool timed = true);
Bytes data_frame(const Bytes& payload);
Bytes control_frame(uint32_t type, const std::vector<std::string>& content_types = {});

size_t open_descriptors();
int connect_unix(const std::string& path, bool nonblocking = false);  // -1 on failure

class TempDir {
  public:
    TempDir();  // 0711: others may pass through to the socket, as to /run/sabrel-agent
    ~TempDir();
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
    std::atomic<bool> stop_when_idle{false};
    std::atomic<bool> stop_after_events{false};
    std::atomic<bool> throw_on_event{false};

    static void on_event(PEVENT_RECORD record);
    static ULONG on_buffer(PEVENT_TRACE_LOGFILEA logfile);
    bool wait_for(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    std::vector<ReadEvent> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::vector<uint16_t> xids();  // the DNS message ids in arrival order
};

std::string fresh_session_name();
ULONG start_session(const std::string& name, const std::string& socket, TRACEHANDLE& handle);

// A session at a socket in its own directory, consumed by ProcessTrace on a thread.
class Trace {
  public:
    explicit Trace(bool enable = true);
    ~Trace();
    void run();
    bool wait_finished();

    TempDir directory;
    std::string socket_path = directory.path + "/dnstap.sock";
    std::string name;
    TRACEHANDLE controller = 0;
    EVENT_TRACE_LOGFILEA logfile;
    TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
    Consumer consumer;
    std::thread worker;
    bool finished = false;
    ULONG result = 12345;
    std::string thrown;
};

// The DNS server's side of a Frame Streams connection.
class Writer {
  public:
    explicit Writer(const std::string& path);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void send(const Bytes& bytes);
    void query(uint16_t id, uint32_t protocol = net::dnstap::udp) {
        send(data_frame(dnstap_frame(net::dnstap::client_query, protocol, dns_message(id, 0))));
    }
    Bytes receive(size_t size);  // up to size bytes within 3 s; empty once the peer closed
    bool wait_closed() {
        while (!closed && !receive(1).empty()) {
        }
        return closed;
    }
    void handshake();
    void start() { send(control_frame(2, {dnstap_type})); }  // unidirectional
    void finish();

    int fd;
    bool connected = false;
    bool closed = false;
};

std::string command_output(const std::string& command);

// A child process with its stdout and stderr read back.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args);
    ~Child();
    // Reads both pipes until done says so or the limit passes.
    bool read_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Stops it with sig; its exit status (128 + signal when killed), or -1 if it did not end.
    int stop(int sig);

    pid_t pid = -1;
    int status = -1;
    std::string out, err;

  private:
    int out_fd = -1, err_fd = -1;
    bool out_closed = false, err_closed = false;
};

}  // namespace tarn::test
