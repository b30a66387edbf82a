// Hostile local input on the dnstap socket, through the agent's capture path (stand-in
// session, on_event_record, the decoder, push_message into a SensorQueue): who may connect at
// all, a flood of connections, a length of 4 GiB in the middle of a stream, and running out of
// descriptors. A well-behaved DNS server must keep being captured through all of it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.hpp"
#include "log_capture.hpp"
#include "net/etw_trace_state.hpp"
#include "sensor/sensor_queue.hpp"

namespace tarn::net {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

void put_be32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// A dnstap client query from the fuzz seeds; its DNS message id is made `id`.
Bytes query_frame(uint16_t id) {
    static const Bytes seed = [] {
        std::ifstream in(std::string(TARN_SOURCE_DIR) + "/fuzz/corpus/dnstap/query_udp",
                         std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }();
    const uint8_t marker[] = {0x52, 0x22, 0x12, 0x34};  // query_message, 34 bytes, id 0x1234
    auto at = std::search(seed.begin(), seed.end(), std::begin(marker), std::end(marker));
    EXPECT_NE(at, seed.end());
    Bytes frame;
    put_be32(frame, static_cast<uint32_t>(seed.size()));
    frame.insert(frame.end(), seed.begin(), seed.end());
    size_t id_at = 4 + static_cast<size_t>(at - seed.begin()) + 2;
    frame[id_at] = static_cast<uint8_t>(id >> 8);
    frame[id_at + 1] = static_cast<uint8_t>(id);
    return frame;
}

Bytes control_frame(uint32_t type, bool with_content_type) {
    const std::string content_type = "protobuf:dnstap.Dnstap";
    Bytes body;
    put_be32(body, type);
    if (with_content_type) {
        put_be32(body, 1);
        put_be32(body, static_cast<uint32_t>(content_type.size()));
        body.insert(body.end(), content_type.begin(), content_type.end());
    }
    Bytes frame(4, 0);
    put_be32(frame, static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

int connect_to(const std::string& path, bool nonblocking = false) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A DNS server writing unidirectional Frame Streams.
struct Writer {
    explicit Writer(const std::string& path) : fd(connect_to(path)) {
        if (fd >= 0) {
            send(control_frame(2, true));  // START
        }
    }
    ~Writer() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    bool send(const Bytes& bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    int fd;
};

size_t open_descriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return count - 1;
}

// A stand-in session at a socket in a directory others may pass through, consumed the way
// the agent's trace thread does, into a queue.
class Capture {
  public:
    Capture() : queue(1 << 20) {
        char pattern[] = "/tmp/tarn-hostile-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        ::chmod(pattern, 0711);
        socket_path = directory + "/dnstap.sock";
        config::dnstap_socket = socket_path;
        static int sessions = 0;
        name = "hostile-input-" + std::to_string(++sessions);
        Bytes block(sizeof(EVENT_TRACE_PROPERTIES) + name.size() + 1);
        auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
        properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
        properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
        properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        TRACEHANDLE session = 0;
        EXPECT_EQ(StartTraceA(&session, name.c_str(), properties), ERROR_SUCCESS);
        EXPECT_EQ(EnableTraceEx2(session, &dns_server_provider, 1, 4, 0, 0, 0, nullptr),
                  ERROR_SUCCESS);
        state.message_callback = sensor::push_message;
        state.message_context = &queue;
        std::memset(&logfile, 0, sizeof logfile);
        logfile.LoggerName = const_cast<char*>(name.c_str());
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
        logfile.BufferCallback = keep_processing;
        logfile.EventRecordCallback = on_event_record;
        logfile.Context = &state;
        handle = OpenTraceA(&logfile);
        EXPECT_NE(handle, INVALID_PROCESSTRACE_HANDLE);
        worker = std::thread([this] { result = ProcessTrace(&handle, 1, nullptr, nullptr); });
    }
    ~Capture() {
        state.stop = true;
        CloseTrace(handle);
        worker.join();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // DNS message ids of the records captured so far, waiting up to 5 s for `count` of them.
    std::vector<uint16_t> ids(size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        uint8_t record[4096];
        while (captured.size() < count && std::chrono::steady_clock::now() < deadline) {
            int32_t length = queue.pop(record, sizeof record);
            if (length <= 0) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            size_t packet = 8u + record[5] + record[6 + record[5]];  // past both addresses
            captured.push_back(static_cast<uint16_t>(record[packet] << 8 | record[packet + 1]));
        }
        return captured;
    }

    std::string directory, socket_path, name;
    sensor::SensorQueue queue;
    EtwTraceState state;
    EVENT_TRACE_LOGFILEA logfile;
    TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
    std::thread worker;
    ULONG result = 12345;
    std::vector<uint16_t> captured;
};

std::vector<uint16_t> sequence(uint16_t first, uint16_t last) {
    std::vector<uint16_t> ids;
    for (uint16_t id = first; id <= last; ++id) {
        ids.push_back(id);
    }
    return ids;
}

// Connects as another user in a child, so this process keeps its identity. 0 when the
// connection was made, else the errno of the failure.
int connect_as(const std::string& path, uid_t uid, gid_t gid) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
            ::_exit(255);
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int code =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostileInput, OnlyTheOwnerAndTheGroupMayWrite) {
    Capture capture;
    struct stat status {};
    ASSERT_EQ(::lstat(capture.socket_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0660u);
    EXPECT_EQ(status.st_uid, ::geteuid());
    if (::geteuid() != 0) {
        GTEST_SKIP() << "connecting as other users needs root";
    }
    const uid_t nobody = 65534;
    EXPECT_EQ(connect_as(capture.socket_path, nobody, nobody), EACCES);
    EXPECT_EQ(connect_as(capture.socket_path, nobody, status.st_gid), 0);  // the DNS server's group
    Writer server(capture.socket_path);
    ASSERT_TRUE(server.send(query_frame(1)));
    EXPECT_EQ(capture.ids(1), std::vector<uint16_t>{1});
}

// Thousands of connections held open, and a peer whose stream turns into a 4 GiB length after
// good frames: the process keeps at most 64 of them, each refusal round and the drop get one
// line, and every query of the DNS server connected before arrives.
TEST(HostileInput, FloodAndHugeLengthCostOnlyTheirConnections) {
    test::LogCapture log;
    Capture capture;
    Writer server(capture.socket_path);
    ASSERT_TRUE(server.send(query_frame(1)));
    ASSERT_EQ(capture.ids(1).size(), 1u);

    {
        Writer hostile(capture.socket_path);
        Bytes stream = query_frame(1000);
        Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3};
        stream.insert(stream.end(), huge.begin(), huge.end());
        ASSERT_TRUE(hostile.send(stream));
        uint8_t byte;
        EXPECT_EQ(::recv(hostile.fd, &byte, 1, 0), 0);  // dropped
    }
    EXPECT_EQ(capture.ids(2), (std::vector<uint16_t>{1, 1000}));

    const size_t descriptors = open_descriptors();
    std::vector<int> flood;
    size_t backlog_full = 0;
    uint16_t next_id = 2;
    for (int attempt = 0; attempt < 3000; ++attempt) {
        int fd = connect_to(capture.socket_path, true);
        if (fd < 0) {
            ++backlog_full;  // EAGAIN: the listener's backlog is full for a moment
            std::this_thread::sleep_for(1ms);
            continue;
        }
        flood.push_back(fd);
        if (attempt % 100 == 0) {
            ASSERT_TRUE(server.send(query_frame(next_id++)));
        }
    }
    size_t held_by_capture = 0, refused = 0, refusal_lines = 0;
    for (int wait = 0; wait < 100 && held_by_capture + refused < flood.size(); ++wait) {
        std::this_thread::sleep_for(50ms);  // until the last accept round is done
        held_by_capture = open_descriptors() - descriptors - flood.size();
        refused = refusal_lines = 0;
        for (const std::string& line : log.lines()) {
            unsigned count = 0;
            const char* format = "ERROR - dnstap connections refused: %u beyond the limit of 64";
            if (std::sscanf(line.c_str(), format, &count) == 1) {
                refused += count;
                ++refusal_lines;
            }
        }
    }
    EXPECT_EQ(held_by_capture, 63u);  // the DNS server has the 64th place
    EXPECT_EQ(refused, flood.size() - held_by_capture);
    for (int fd : flood) {
        ::close(fd);
    }
    ASSERT_TRUE(server.send(query_frame(next_id)));
    std::vector<uint16_t> expected = sequence(1, next_id);
    expected.insert(expected.begin() + 1, 1000);
    EXPECT_EQ(capture.ids(expected.size()), expected);
    std::this_thread::sleep_for(200ms);
    Writer later(capture.socket_path);  // places freed are places for new servers
    ASSERT_TRUE(later.send(query_frame(5000)));
    EXPECT_EQ(capture.ids(expected.size() + 1).back(), 5000);

    std::vector<std::string> lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "ERROR - dnstap connection dropped: frame of 4294967295 bytes exceeds "
                         "262144"),
              1);
    EXPECT_EQ(lines.size(), refusal_lines + 1) << "one line per refusal round and per drop";
    std::printf(
        "hostile: %zu connections held, %zu refused in %zu lines, %zu waited for the "
        "backlog, %zu kept by capture\n",
        flood.size(), refused, refusal_lines, backlog_full, held_by_capture);
}

// Out of descriptors, accepting pauses a second at a time instead of spinning on the listener,
// the connected server goes on, and the waiting ones are taken once descriptors are back.
TEST(HostileInput, DescriptorExhaustionPausesAcceptingOnly) {
    test::LogCapture log;
    Capture capture;
    Writer server(capture.socket_path);
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));  // before the limit
    }
    query_frame(0);  // reads its seed file while files can still be opened
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // no new descriptor at all
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto starved_from = std::chrono::steady_clock::now();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, capture.socket_path.c_str(), sizeof address.sun_path - 1);
    for (int fd : waiting) {
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    for (uint16_t id = 1; id <= 30; ++id) {
        server.send(query_frame(id));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto starved = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - starved_from);
    EXPECT_EQ(capture.ids(30), sequence(1, 30));

    Bytes start = control_frame(2, true);
    for (size_t i = 0; i < waiting.size(); ++i) {
        Bytes stream = start;
        Bytes query = query_frame(static_cast<uint16_t>(100 + i));
        stream.insert(stream.end(), query.begin(), query.end());
        EXPECT_EQ(::send(waiting[i], stream.data(), stream.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(stream.size()));
    }
    std::vector<uint16_t> ids = capture.ids(34);
    ASSERT_EQ(ids.size(), 34u);
    std::sort(ids.begin() + 30, ids.end());
    EXPECT_EQ(std::vector<uint16_t>(ids.begin() + 30, ids.end()), sequence(100, 103));
    for (int fd : waiting) {
        ::close(fd);
    }
    std::vector<std::string> lines = log.lines();
    const std::string paused = "ERROR - dnstap connections not accepted: Too many open files";
    size_t pauses = static_cast<size_t>(std::count(lines.begin(), lines.end(), paused));
    EXPECT_GE(pauses, 1u);
    EXPECT_LE(pauses, static_cast<size_t>(starved / 1s) + 2) << "accepting spun";  // 1 s pauses
    EXPECT_EQ(lines.size(), pauses);
    std::printf("hostile: %zu pause lines in %lld ms without descriptors\n", pauses,
                static_cast<long long>(starved.count()));
}

}  // namespace
}  // namespace tarn::net
