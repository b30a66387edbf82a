// The ETW controller and consumer calls on Linux. A session is a Unix stream socket at
// config::dnstap_socket where DNS servers write dnstap over Frame Streams; ProcessTrace turns
// every dnstap message into a DNS Server packet event for the consumer's callback.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/dnstap.hpp"
#include "net/etw_api.hpp"
#include "net/frame_streams.hpp"
#include "net/standin_event.hpp"
#include "support/log.hpp"

namespace {

using tarn::log_message;
using namespace tarn::net;

thread_local ULONG last_error = ERROR_SUCCESS;

constexpr size_t max_connections = 64;
constexpr size_t max_accepts_per_wake = 128;
constexpr size_t read_size = 64 * 1024;
constexpr int buffer_interval_ms = 1000;
constexpr int accept_pause_ms = 1000;

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point no_deadline = Clock::time_point::max();

// Dropped dnstap messages: the first of each kind is logged at once, later ones are summed up
// in at most one line a minute, so a broken writer cannot flood the log.
class DropLog {
  public:
    enum Kind : size_t { too_large = dnstap::outcome_count, kind_count };

    void count(size_t kind) {
        ++totals[kind];
        if (!seen[kind]) {
            seen[kind] = true;
            log_message("ERROR - dnstap message dropped: %s", text(kind));
        } else {
            ++unreported[kind];
        }
    }

    void summarize(Clock::time_point now) {
        if (now - last_summary <
            std::chrono::milliseconds(standin::dnstap_times().drop_summary_ms)) {
            return;
        }
        char line[256];
        size_t length = 0;
        uint64_t sum = 0;
        for (size_t kind = 0; kind < kind_count; ++kind) {
            if (unreported[kind] != 0) {
                length +=
                    append(line + length, sizeof line - length, "%s%s %llu", sum == 0 ? "" : ", ",
                           text(kind), static_cast<unsigned long long>(unreported[kind]));
                sum += unreported[kind];
                unreported[kind] = 0;
            }
        }
        last_summary = now;
        if (sum != 0) {
            log_message("ERROR - dnstap messages dropped: %llu since the last report (%s)",
                        static_cast<unsigned long long>(sum), line);
        }
    }

  private:
    static const char* text(size_t kind) {
        return kind == too_large ? "DNS message too large for an event"
                                 : dnstap::outcome_text(static_cast<dnstap::Outcome>(kind));
    }
    static size_t append(char* out, size_t room, const char* format, const char* separator,
                         const char* name, unsigned long long count) {
        int written = std::snprintf(out, room, format, separator, name, count);
        return written < 0 ? 0 : std::min(static_cast<size_t>(written), room - 1);
    }

    uint64_t totals[kind_count] = {};
    uint64_t unreported[kind_count] = {};
    bool seen[kind_count] = {};
    Clock::time_point last_summary = Clock::now();
};

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd; }
    void reset(int value = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = value;
    }

  private:
    int fd = -1;
};

struct Session;

struct Connection final : frame_streams::FrameHandler {
    Connection(int fd, Session& session) : socket(fd), session(session) {}

    const char* on_data_frame(const uint8_t* data, uint32_t size) override;
    bool on_reply(const uint8_t* data, size_t size) override {
        ssize_t sent = ::send(socket.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent == static_cast<ssize_t>(size);
    }

    bool handshaken() const { return reader.state() == frame_streams::Reader::State::started; }

    Descriptor socket;
    frame_streams::Reader reader;
    Session& session;
    bool dead = false;
    // A peer must finish its handshake, and then every frame it begins, before this.
    Clock::time_point deadline = no_deadline;
    uint64_t frames = 0;
};

struct Session {
    std::string name;
    TRACEHANDLE handle = 0;
    Descriptor listener;
    Descriptor wake;  // eventfd: CloseTrace interrupts the poll of a running ProcessTrace
    std::atomic<bool> enabled{false};
    std::atomic<UCHAR> level{0};

    // The consumer, under registry_mutex (close_requested is also read without it).
    TRACEHANDLE consumer = 0;
    bool processing = false;
    std::atomic<bool> close_requested{false};

    // Touched only by the thread inside ProcessTrace.
    EVENT_TRACE_LOGFILEA* logfile = nullptr;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> poll_fds;
    std::vector<uint8_t> received;
    std::vector<uint8_t> payload;
    dnstap::Message message;
    dnstap::Event event;
    EVENT_RECORD record;
    int64_t now_filetime = 0;
    uint32_t delivered = 0;
    Clock::time_point accept_paused_until;
    DropLog drops;
};

std::mutex registry_mutex;
TRACEHANDLE next_handle = 1;

// Sessions outlive every run and are never removed, so a running ProcessTrace can use its
// session without holding the lock.
std::vector<std::unique_ptr<Session>>& sessions() {
    static std::vector<std::unique_ptr<Session>> registry;
    return registry;
}

Session* find_by_name(const char* name) {
    for (auto& session : sessions()) {
        if (session->name == name) {
            return session.get();
        }
    }
    return nullptr;
}

Session* find_by_handle(TRACEHANDLE handle) {
    for (auto& session : sessions()) {
        if (session->handle == handle) {
            return session.get();
        }
    }
    return nullptr;
}

Session* find_by_consumer(TRACEHANDLE handle) {
    if (handle == 0 || handle == INVALID_PROCESSTRACE_HANDLE) {
        return nullptr;
    }
    for (auto& session : sessions()) {
        if (session->consumer == handle) {
            return session.get();
        }
    }
    return nullptr;
}

int64_t current_filetime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100 +
           standin::unix_epoch_filetime;
}

const char* Connection::on_data_frame(const uint8_t* data, uint32_t size) {
    Session& s = session;
    if (!dnstap::decode(data, size, s.message)) {
        return "malformed dnstap message";
    }
    UCHAR level = s.level;
    bool wanted = s.enabled && (level == 0 || level >= TRACE_LEVEL_INFORMATION);
    if (!wanted) {
        return nullptr;
    }
    dnstap::Outcome outcome = dnstap::to_event(s.message, s.now_filetime, s.event);
    if (outcome != dnstap::Outcome::event) {
        if (outcome != dnstap::Outcome::ignored) {
            s.drops.count(static_cast<size_t>(outcome));
        }
        return nullptr;
    }
    if (!standin::encode_payload(s.event.properties, s.event.property_count, s.payload)) {
        s.drops.count(DropLog::too_large);
        return nullptr;
    }
    standin::fill_event_record(s.record, standin::dns_server_guid, s.event.id, s.event.timestamp,
                               s.payload, s.logfile->Context);
    s.logfile->CurrentTime = s.event.timestamp;
    ++s.delivered;
    s.logfile->EventRecordCallback(&s.record);
    return nullptr;
}

// Why the socket could not be made: the call that failed and its code.
struct SocketFailure {
    const char* call = nullptr;
    ULONG code = ERROR_SUCCESS;
};

SocketFailure failure(const char* call, int code = errno) {
    return {call, static_cast<ULONG>(code)};
}

// Unlinks a socket left behind by an earlier run, but never one another process listens on.
SocketFailure clear_stale_socket(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return {};  // absent, or not ours to remove: bind reports it
    }
    // Non-blocking: a live listener with a full backlog answers EAGAIN instead of holding us.
    Descriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) {
        return failure("socket");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN) {
        return failure("connect", EADDRINUSE);  // another process listens there
    }
    if (errno != ECONNREFUSED) {
        return failure("connect");  // e.g. no right to it: not ours to replace
    }
    ::unlink(path.c_str());
    return {};
}

SocketFailure listen_at(const std::string& path, Descriptor& listener) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return failure("bind", ENAMETOOLONG);
    }
    SocketFailure stale = clear_stale_socket(path);
    if (stale.code != ERROR_SUCCESS) {
        return stale;
    }
    listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0) {
        return failure("socket");
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // The node takes the socket's mode less the umask: never wider than 0660, even briefly.
    ::fchmod(listener.get(), 0660);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        SocketFailure failed = failure("bind");
        listener.reset();
        return failed;
    }
    const char* call = ::chmod(path.c_str(), 0660) != 0    ? "chmod"
                       : ::listen(listener.get(), 16) != 0 ? "listen"
                                                           : nullptr;
    if (call != nullptr) {
        SocketFailure failed = failure(call);
        listener.reset();
        ::unlink(path.c_str());
        return failed;
    }
    return {};
}

// The caller's failure line names neither the path nor the call; this one does.
ULONG report(const std::string& path, SocketFailure failed) {
    log_message("ERROR - dnstap socket %s: %s() failed: %s", path.c_str(), failed.call,
                tarn::error::system_error_text(static_cast<int>(failed.code)).c_str());
    return failed.code;
}

void drop_dead_connections(Session& s) {
    auto& list = s.connections;
    for (size_t i = 0; i < list.size();) {
        if (list[i]->dead) {
            list[i] = std::move(list.back());
            list.pop_back();
        } else {
            ++i;
        }
    }
}

// At the limit, a writer that has not finished its handshake makes way for a new one, so idle
// peers cannot lock a DNS server out; handshaken writers are never displaced.
bool make_room(Session& s) {
    Connection* oldest = nullptr;
    for (auto& connection : s.connections) {
        if (!connection->dead && !connection->handshaken() &&
            (oldest == nullptr || connection->deadline < oldest->deadline)) {
            oldest = connection.get();
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    oldest->dead = true;
    oldest->socket.reset();
    return true;
}

void accept_connections(Session& s) {
    unsigned refused = 0;
    unsigned displaced = 0;
    auto handshake = std::chrono::milliseconds(standin::dnstap_times().handshake_ms);
    for (size_t i = 0; i < max_accepts_per_wake; ++i) {
        int fd = ::accept4(s.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The listener stays readable: wait a while instead of spinning on it.
                log_message("ERROR - dnstap connections not accepted: %s",
                            tarn::error::system_error_text(errno).c_str());
                s.accept_paused_until = Clock::now() + std::chrono::milliseconds(accept_pause_ms);
            }
            break;  // EAGAIN, or a connection that went away before it was taken
        }
        drop_dead_connections(s);
        if (s.connections.size() >= max_connections) {
            if (!make_room(s)) {
                ::close(fd);
                ++refused;
                continue;
            }
            ++displaced;
            drop_dead_connections(s);
        }
        s.connections.push_back(std::make_unique<Connection>(fd, s));
        s.connections.back()->deadline = Clock::now() + handshake;
    }
    if (displaced > 0) {
        log_message(
            "ERROR - dnstap connections dropped: %u without START, for newer ones beyond "
            "the limit of %u",
            displaced, static_cast<unsigned>(max_connections));
    }
    if (refused > 0) {
        log_message("ERROR - dnstap connections refused: %u beyond the limit of %u", refused,
                    static_cast<unsigned>(max_connections));
    }
}

// Called after a read: a frame begun since the last whole one must end in time.
void track_frame_deadline(Connection& connection) {
    uint64_t frames = connection.reader.frames();
    if (connection.reader.held() == 0) {
        connection.deadline = no_deadline;
    } else if (frames != connection.frames || connection.deadline == no_deadline) {
        auto limit = std::chrono::milliseconds(standin::dnstap_times().frame_ms);
        connection.deadline = Clock::now() + limit;
    }
    connection.frames = frames;
}

// One read of a connection, its frames delivered.
void read_connection(Session& s, Connection& connection) {
    ssize_t got = ::recv(connection.socket.get(), s.received.data(), s.received.size(), 0);
    if (got == 0) {
        connection.dead = true;  // the server went away; it reconnects on its own
        return;
    }
    if (got < 0) {
        int code = errno;
        if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) {
            return;
        }
        if (code != ECONNRESET) {
            log_message("ERROR - dnstap connection dropped: recv() failed: %s",
                        tarn::error::system_error_text(code).c_str());
        }
        connection.dead = true;
        return;
    }
    s.now_filetime = current_filetime();
    try {
        connection.reader.feed(s.received.data(), static_cast<size_t>(got), connection);
    } catch (...) {
        connection.dead = true;  // the rest of what it sent is lost with the exception
        throw;
    }
    if (connection.reader.state() == frame_streams::Reader::State::failed) {
        log_message("ERROR - dnstap connection dropped: %s", connection.reader.failure());
        connection.dead = true;
    } else if (connection.reader.done()) {
        connection.dead = true;  // STOP answered
    } else if (connection.handshaken()) {
        track_frame_deadline(connection);
    }
}

void expire_connections(Session& s, Clock::time_point now) {
    for (auto& connection : s.connections) {
        if (connection->dead || now < connection->deadline) {
            continue;
        }
        const standin::DnstapTimes& limits = standin::dnstap_times();
        if (connection->handshaken()) {
            log_message("ERROR - dnstap connection dropped: frame unfinished after %d ms",
                        limits.frame_ms);
        } else {
            log_message("ERROR - dnstap connection dropped: no START within %d ms",
                        limits.handshake_ms);
        }
        connection->dead = true;
    }
}

// FALSE from the consumer's BufferCallback ends processing.
bool keep_going(Session& s, Clock::time_point& last_call) {
    last_call = Clock::now();
    EVENT_TRACE_LOGFILEA* logfile = s.logfile;
    ++logfile->BuffersRead;
    return logfile->BufferCallback == nullptr || logfile->BufferCallback(logfile) != FALSE;
}

ULONG process_session(Session& s) {
    s.received.resize(read_size);
    Clock::time_point last_call = Clock::now();
    for (;;) {
        drop_dead_connections(s);
        if (s.close_requested) {
            return ERROR_SUCCESS;
        }
        Clock::time_point now = Clock::now();
        bool accepting = now >= s.accept_paused_until;
        s.poll_fds.clear();
        s.poll_fds.push_back({s.wake.get(), POLLIN, 0});
        s.poll_fds.push_back({accepting ? s.listener.get() : -1, POLLIN, 0});
        for (auto& connection : s.connections) {
            s.poll_fds.push_back({connection->socket.get(), POLLIN, 0});
        }
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_call);
        int timeout = buffer_interval_ms - static_cast<int>(waited.count());
        if (!accepting) {
            auto paused =
                std::chrono::duration_cast<std::chrono::milliseconds>(s.accept_paused_until - now);
            timeout = std::min(timeout, static_cast<int>(paused.count()) + 1);
        }
        int ready = ::poll(s.poll_fds.data(), s.poll_fds.size(), std::max(timeout, 0));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return static_cast<ULONG>(errno);
        }
        if (s.poll_fds[0].revents != 0) {
            uint64_t count;
            ssize_t ignored = ::read(s.wake.get(), &count, sizeof count);
            (void)ignored;
            if (s.close_requested) {
                return ERROR_SUCCESS;
            }
        }
        // Connections accepted now are polled from the next round on.
        size_t polled = s.connections.size();
        if (s.poll_fds[1].revents != 0) {
            accept_connections(s);
        }
        for (size_t i = 0; i < polled; ++i) {
            if (s.poll_fds[i + 2].revents == 0) {
                continue;
            }
            if (s.close_requested) {
                return ERROR_SUCCESS;
            }
            s.delivered = 0;
            read_connection(s, *s.connections[i]);
            if (s.delivered > 0 && !keep_going(s, last_call)) {
                return ERROR_SUCCESS;
            }
        }
        now = Clock::now();
        expire_connections(s, now);
        s.drops.summarize(now);
        if (now - last_call >= std::chrono::milliseconds(buffer_interval_ms) &&
            !keep_going(s, last_call)) {
            return ERROR_SUCCESS;
        }
    }
}

}  // namespace

tarn::net::standin::DnstapTimes& tarn::net::standin::dnstap_times() {
    static DnstapTimes deadlines;
    return deadlines;
}

ULONG GetLastError() {
    return last_error;
}

void SetLastError(ULONG code) {
    last_error = code;
}

ULONG StartTraceA(PTRACEHANDLE trace_handle, LPCSTR instance_name,
                  PEVENT_TRACE_PROPERTIES properties) {
    if (trace_handle == nullptr || instance_name == nullptr || properties == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    size_t name_size = std::strlen(instance_name) + 1;
    ULONG block_size = properties->Wnode.BufferSize;
    ULONG name_offset = properties->LoggerNameOffset;
    if (name_size == 1 || block_size < sizeof(EVENT_TRACE_PROPERTIES) + name_size ||
        name_offset < sizeof(EVENT_TRACE_PROPERTIES) || name_offset > block_size - name_size ||
        (properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0 ||
        (properties->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) == 0) {
        return ERROR_INVALID_PARAMETER;
    }

    std::lock_guard<std::mutex> lock(registry_mutex);
    if (find_by_name(instance_name) != nullptr) {
        return ERROR_ALREADY_EXISTS;
    }
    auto session = std::make_unique<Session>();
    const std::string& path = tarn::config::dnstap_socket;
    SocketFailure failed = listen_at(path, session->listener);
    if (failed.code != ERROR_SUCCESS) {
        return report(path, failed);
    }
    session->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (session->wake.get() < 0) {
        failed = failure("eventfd");
        ::unlink(path.c_str());
        return report(path, failed);
    }
    session->name = instance_name;
    session->handle = next_handle++;
    *trace_handle = session->handle;
    // Like ETW, the block gets the session name at LoggerNameOffset.
    std::memmove(reinterpret_cast<char*>(properties) + name_offset, instance_name, name_size);
    sessions().push_back(std::move(session));
    return ERROR_SUCCESS;
}

ULONG EnableTraceEx2(TRACEHANDLE trace_handle, LPCGUID provider_id, ULONG control_code, UCHAR level,
                     ULONGLONG, ULONGLONG, ULONG, PENABLE_TRACE_PARAMETERS) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = find_by_handle(trace_handle);
    if (session == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (provider_id == nullptr || control_code > 2) {
        return ERROR_INVALID_PARAMETER;
    }
    // Other providers never write to this session: enabling them changes nothing.
    if (*provider_id == standin::dns_server_guid && control_code != 2) {
        session->level = level;
        session->enabled = control_code == EVENT_CONTROL_CODE_ENABLE_PROVIDER;
    }
    return ERROR_SUCCESS;
}

TRACEHANDLE OpenTraceA(PEVENT_TRACE_LOGFILEA logfile) {
    constexpr ULONG wanted = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    if (logfile == nullptr || (logfile->ProcessTraceMode & wanted) != wanted ||
        logfile->EventRecordCallback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = logfile->LoggerName == nullptr ? nullptr : find_by_name(logfile->LoggerName);
    if (session == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    if (session->consumer != 0) {
        SetLastError(ERROR_BUSY);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    session->consumer = next_handle++;
    session->logfile = logfile;
    session->close_requested = false;
    return session->consumer;
}

ULONG ProcessTrace(PTRACEHANDLE handle_array, ULONG handle_count, LPFILETIME, LPFILETIME) {
    if (handle_array == nullptr || handle_count != 1) {
        return ERROR_INVALID_PARAMETER;
    }
    Session* session;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        session = find_by_consumer(handle_array[0]);
        if (session == nullptr || session->close_requested) {
            return ERROR_INVALID_HANDLE;
        }
        if (session->processing) {
            return ERROR_BUSY;
        }
        session->processing = true;
    }
    // Ends the run however it ends, exceptions from the callbacks included.
    struct Finish {
        Session& s;
        ~Finish() {
            drop_dead_connections(s);
            std::lock_guard<std::mutex> lock(registry_mutex);
            s.processing = false;
            if (s.close_requested) {
                s.consumer = 0;
                s.logfile = nullptr;
                s.close_requested = false;
            }
        }
    } finish{*session};
    return process_session(*session);
}

ULONG CloseTrace(TRACEHANDLE trace_handle) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = find_by_consumer(trace_handle);
    if (session == nullptr || session->close_requested) {
        return ERROR_INVALID_HANDLE;
    }
    if (session->processing) {
        session->close_requested = true;
        uint64_t one = 1;
        ssize_t ignored = ::write(session->wake.get(), &one, sizeof one);
        (void)ignored;
    } else {
        session->consumer = 0;
        session->logfile = nullptr;
    }
    return ERROR_SUCCESS;
}
