#include "dnstap_harness_linux.hpp"

#include <dirent.h>
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "config/settings.hpp"
#include "net/standin_event.hpp"

namespace tarn::test {

using namespace std::chrono_literals;

void put_be32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Proto& Proto::varint(uint64_t value) {
    for (; value >= 0x80; value >>= 7) {
        bytes.push_back(static_cast<uint8_t>(value | 0x80));
    }
    bytes.push_back(static_cast<uint8_t>(value));
    return *this;
}

Proto& Proto::fixed(uint32_t number, uint64_t value, int size) {
    tag(number, size == 4 ? 5 : 1);
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return *this;
}

Proto& Proto::field(uint32_t number, const Bytes& value) {
    tag(number, 2).varint(value.size());
    return raw(value);
}

Proto& Proto::raw(const Bytes& value) {
    bytes.insert(bytes.end(), value.begin(), value.end());
    return *this;
}

const std::string dnstap_type = "protobuf:dnstap.Dnstap";
const Bytes accept_frame = control_frame(1, {dnstap_type});
const Bytes finish_frame = {0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 5};

Bytes dns_message(uint16_t id, uint16_t flags, uint16_t qtype) {
    Bytes packet;  // ID, flags, one question, no other records
    for (uint16_t field : {id, flags, uint16_t{1}, uint16_t{0}, uint16_t{0}, uint16_t{0}}) {
        packet.push_back(static_cast<uint8_t>(field >> 8));
        packet.push_back(static_cast<uint8_t>(field));
    }
    const std::string name = "\3www\7example\4test";
    packet.insert(packet.end(), name.begin(), name.end());
    return joined(
        {packet, {0, static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1}});
}

Bytes dnstap_frame(uint32_t type, uint32_t protocol, const Bytes& packet, bool timed) {
    Proto message;
    message.number(1, type).number(2, 1).number(3, protocol);
    message.field(4, {192, 0, 2, 7}).field(5, {127, 0, 0, 53}).number(6, 53000);
    if (timed) {
        message.number(8, query_seconds).fixed(9, query_nanoseconds, 4);
        message.number(12, query_seconds + 1).fixed(13, 5000, 4);
    }
    message.field(type % 2 == 1 ? 10 : 14, packet);
    Proto dnstap;
    dnstap.field(1, {'n', 's'}).number(15, 1).field(14, message.bytes);
    return dnstap.bytes;
}

Bytes data_frame(const Bytes& payload) {
    Bytes frame;
    put_be32(frame, static_cast<uint32_t>(payload.size()));
    return joined({frame, payload});
}

Bytes control_frame(uint32_t type, const std::vector<std::string>& content_types) {
    Bytes body;
    put_be32(body, type);
    for (const std::string& content_type : content_types) {
        put_be32(body, 1);
        put_be32(body, static_cast<uint32_t>(content_type.size()));
        body.insert(body.end(), content_type.begin(), content_type.end());
    }
    Bytes frame(4, 0);
    put_be32(frame, static_cast<uint32_t>(body.size()));
    return joined({frame, body});
}

size_t open_descriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return count - 1;  // the directory's own
}

int connect_unix(const std::string& path, bool nonblocking) {
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

TempDir::TempDir() {
    char pattern[] = "/tmp/tarn-dnstap-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    ::chmod(pattern, 0711);
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

namespace {

ReadEvent read_back(PEVENT_RECORD record) {
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
        EXPECT_EQ(TdhGetProperty(record, 0, nullptr, 1, &descriptor, value_size, value.data()), 0u);
        event.properties.emplace_back(ascii, value);
    }
    return event;
}

}  // namespace

void Consumer::on_event(PEVENT_RECORD record) {
    auto* self = static_cast<Consumer*>(record->UserContext);
    if (self->throw_on_event) {
        throw std::runtime_error("callback failed");
    }
    ReadEvent event = read_back(record);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->events.push_back(std::move(event));
    self->changed.notify_all();
}

ULONG Consumer::on_buffer(PEVENT_TRACE_LOGFILEA logfile) {
    auto* self = static_cast<Consumer*>(logfile->Context);
    ++self->buffer_calls;
    std::lock_guard<std::mutex> lock(self->mutex);
    return self->stop_when_idle || (self->stop_after_events && !self->events.empty()) ? FALSE
                                                                                      : TRUE;
}

bool Consumer::wait_for(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return events.size() >= count; });
}

std::vector<uint16_t> Consumer::xids() {
    std::vector<uint16_t> ids;
    for (const ReadEvent& event : snapshot()) {
        Bytes xid = event.get("XID");
        ids.push_back(xid.size() == 2 ? static_cast<uint16_t>(xid[0] | xid[1] << 8) : 0);
    }
    return ids;
}

std::string fresh_session_name() {
    static int count = 0;
    return "standin-test-" + std::to_string(++count);
}

ULONG start_session(const std::string& name, const std::string& socket, TRACEHANDLE& handle) {
    config::dnstap_socket = socket;
    Bytes block(sizeof(EVENT_TRACE_PROPERTIES) + name.size() + 1);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    return StartTraceA(&handle, name.c_str(), properties);
}

Trace::Trace(bool enable) : name(fresh_session_name()) {
    EXPECT_EQ(start_session(name, socket_path, controller), ERROR_SUCCESS);
    if (enable) {
        EXPECT_EQ(
            EnableTraceEx2(controller, &net::standin::dns_server_guid, 1, 4, 0, 0, 0, nullptr),
            ERROR_SUCCESS);
    }
    std::memset(&logfile, 0, sizeof logfile);
    logfile.LoggerName = const_cast<char*>(name.c_str());
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.BufferCallback = Consumer::on_buffer;
    logfile.EventRecordCallback = Consumer::on_event;
    logfile.Context = &consumer;
}

Trace::~Trace() {
    CloseTrace(handle);
    if (worker.joinable()) {
        worker.join();
    }
}

void Trace::run() {
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

bool Trace::wait_finished() {
    std::unique_lock<std::mutex> lock(consumer.mutex);
    return consumer.changed.wait_for(lock, 3s, [&] { return finished; });
}

Writer::Writer(const std::string& path) : fd(connect_unix(path)), connected(fd >= 0) {}

Writer::~Writer() {
    if (fd >= 0) {
        ::close(fd);
    }
}

void Writer::send(const Bytes& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

Bytes Writer::receive(size_t size) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) {
            continue;
        }
        uint8_t buffer[512];
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - got.size()), 0);
        if (n <= 0) {
            closed = true;  // an orderly close, or a reset
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void Writer::handshake() {
    send(control_frame(4, {dnstap_type}));
    EXPECT_EQ(receive(accept_frame.size()), accept_frame);
    start();
}

void Writer::finish() {
    send(control_frame(3));
    EXPECT_EQ(receive(finish_frame.size()), finish_frame);
    EXPECT_TRUE(wait_closed());
}

std::string command_output(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

Child::Child(const std::vector<std::string>& args) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        return;
    }
    pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
}

Child::~Child() {
    if (pid > 0 && status < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::close(out_fd);
    ::close(err_fd);
}

bool Child::read_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fds[2] = {{out_closed ? -1 : out_fd, POLLIN, 0},
                         {err_closed ? -1 : err_fd, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents != 0) {
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
                } else {
                    (i == 0 ? out_closed : err_closed) = true;
                }
            }
        }
        if (out_closed && err_closed) {
            return done();
        }
    }
    return true;
}

int Child::stop(int sig) {
    ::kill(pid, sig);
    read_until([this] { return out_closed && err_closed; }, 5s);
    for (int i = 0; i < 50 && status < 0; ++i) {
        int raw = 0;
        if (::waitpid(pid, &raw, WNOHANG) == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else {
            ::usleep(100000);
        }
    }
    return status;
}

}  // namespace tarn::test
