#include "net/standin/dnstap_listener_linux.hpp"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "error/error.hpp"
#include "net/etw_api.hpp"
#include "net/standin/frame_streams.hpp"
#include "support/log.hpp"

namespace tarn::net::dnstap {

namespace {

constexpr size_t max_connections = 64;
constexpr size_t max_accepts_per_wake = 128;
constexpr size_t read_size = 256 * 1024;  // a read takes whatever a busy server has written
constexpr auto pause_interval = std::chrono::seconds(1);
// After reads that emptied the sockets, frames are left to gather: a server writes a frame per
// query, and a wake-up, a poll and a read for each cost more than decoding the frame. The wait
// is sized from the rate just seen to leave about gather_frames or gather_bytes waiting when
// the thread runs again, which can take wake_allowance on a busy host; that stays well below
// what fills a writer's socket (unbound's takes about a hundred small frames).
constexpr int64_t gather_frames = 64;
constexpr int64_t gather_bytes = 32 * 1024;
constexpr auto wake_allowance = std::chrono::microseconds(300);
constexpr auto longest_gather = std::chrono::milliseconds(1);
constexpr auto accept_pause = std::chrono::seconds(1);

SocketFailure failure(const char* call, int code = errno) {
    return {call, code};
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Unlinks a socket left behind by an earlier run, but never one another process listens on.
SocketFailure clear_stale_socket(const std::string& path) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return {};  // absent, or not ours to remove: bind reports it
    }
    // Non-blocking: a live listener with a full backlog answers EAGAIN instead of holding us.
    FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) {
        return failure("socket");
    }
    sockaddr_un address = unix_address(path);
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

}  // namespace

struct Listener::Connection final : frame_streams::FrameHandler {
    Connection(FileDescriptor accepted, Clock::time_point handshake_deadline)
        : socket(std::move(accepted)), deadline(handshake_deadline) {}

    const char* on_data_frame(const uint8_t* data, uint32_t size) override {
        ++delivered;
        return consumer->on_frame(data, size);
    }
    bool on_reply(const uint8_t* data, size_t size) override {
        ssize_t sent = ::send(socket.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent == static_cast<ssize_t>(size);
    }
    bool handshaken() const { return reader.state() == frame_streams::Reader::State::started; }

    // After a read: a frame begun since the handshake or the last whole frame (once handshaken,
    // every whole frame but STOP is a data frame) must end in time.
    void track_frame_deadline(bool just_handshaken) {
        if (reader.held() == 0) {
            deadline = Clock::time_point::max();
        } else if (just_handshaken || delivered > 0 || deadline == Clock::time_point::max()) {
            deadline = Clock::now() + std::chrono::milliseconds(standin::dnstap_times().frame_ms);
        }
    }

    FileDescriptor socket;
    frame_streams::Reader reader;
    FrameConsumer* consumer = nullptr;
    size_t delivered = 0;
    bool dead = false;
    // A writer must finish its handshake, and then every frame it begins, before this.
    Clock::time_point deadline;
};

Listener::Listener() = default;
Listener::~Listener() = default;

SocketFailure Listener::open(const std::string& path) {
    if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) {
        return failure("bind", ENAMETOOLONG);
    }
    SocketFailure stale = clear_stale_socket(path);
    if (stale.call != nullptr) {
        return stale;
    }
    socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) {
        return failure("socket");
    }
    sockaddr_un address = unix_address(path);
    // The node takes the socket's mode less the umask: never wider than 0660, even briefly.
    ::fchmod(socket.get(), 0660);
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        SocketFailure failed = failure("bind");
        socket.reset();
        return failed;
    }
    const char* call = ::chmod(path.c_str(), 0660) != 0  ? "chmod"
                       : ::listen(socket.get(), 16) != 0 ? "listen"
                       : (wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), !wake.valid())
                           ? "eventfd"
                           : nullptr;
    if (call != nullptr) {
        SocketFailure failed = failure(call);
        socket.reset();
        ::unlink(path.c_str());
        return failed;
    }
    return {};
}

void Listener::close() {
    connections.clear();
    poll_fds.clear();
    socket.reset();
}

void Listener::interrupt() {
    interrupted = true;
    uint64_t one = 1;
    ssize_t ignored = ::write(wake.get(), &one, sizeof one);
    (void)ignored;
}

void Listener::drop_dead_connections() {
    for (size_t i = 0; i < connections.size();) {
        if (connections[i]->dead) {
            connections[i] = std::move(connections.back());
            connections.pop_back();
        } else {
            ++i;
        }
    }
}

// At the limit, a writer that has not finished its handshake makes way for a new one, so idle
// peers cannot lock a DNS server out; handshaken writers are never displaced.
bool Listener::make_room() {
    Connection* oldest = nullptr;
    for (auto& connection : connections) {
        if (!connection->handshaken() &&
            (oldest == nullptr || connection->deadline < oldest->deadline)) {
            oldest = connection.get();
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    oldest->dead = true;
    drop_dead_connections();
    return true;
}

void Listener::accept_connections() {
    unsigned refused = 0;
    unsigned displaced = 0;
    auto handshake = std::chrono::milliseconds(standin::dnstap_times().handshake_ms);
    drop_dead_connections();
    for (size_t i = 0; i < max_accepts_per_wake; ++i) {
        FileDescriptor accepted(
            ::accept4(socket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The listener stays readable: wait a while instead of spinning on it.
                log_message("ERROR - dnstap connections not accepted: %s",
                            error::system_error_text(errno).c_str());
                accept_paused_until = Clock::now() + accept_pause;
            }
            break;  // EAGAIN, or a connection that went away before it was taken
        }
        if (connections.size() >= max_connections) {
            if (!make_room()) {
                ++refused;
                continue;
            }
            ++displaced;
        }
        connections.push_back(
            std::make_unique<Connection>(std::move(accepted), Clock::now() + handshake));
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

void Listener::expire_connections(Clock::time_point now) {
    const standin::DnstapTimes& limits = standin::dnstap_times();
    for (auto& connection : connections) {
        if (connection->dead || now < connection->deadline) {
            continue;
        }
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

// One read of a writer, its frames handed to the consumer and counted in round; the number of
// data frames.
size_t Listener::read_connection(Connection& connection, FrameConsumer& consumer, Round& round) {
    ssize_t got = ::recv(connection.socket.get(), received.data(), received.size(), 0);
    if (got <= 0) {
        int code = got == 0 ? 0 : errno;
        if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) {
            return 0;
        }
        if (code != 0 && code != ECONNRESET) {
            log_message("ERROR - dnstap connection dropped: recv() failed: %s",
                        error::system_error_text(code).c_str());
        }
        connection.dead = true;  // a writer that went away reconnects on its own
        return 0;
    }
    round.filled = round.filled || static_cast<size_t>(got) == received.size();
    round.bytes += static_cast<size_t>(got);
    connection.consumer = &consumer;
    connection.delivered = 0;
    bool was_handshaken = connection.handshaken();
    try {
        connection.reader.feed(received.data(), static_cast<size_t>(got), connection);
    } catch (...) {
        connection.dead = true;  // the rest of what it sent is lost with the exception
        connection.socket.reset();
        throw;
    }
    if (connection.reader.state() == frame_streams::Reader::State::failed) {
        log_message("ERROR - dnstap connection dropped: %s", connection.reader.failure());
        connection.dead = true;
    } else if (connection.reader.done()) {
        connection.dead = true;  // STOP answered
    } else if (connection.handshaken()) {
        connection.track_frame_deadline(!was_handshaken);
    }
    round.frames += connection.delivered;
    return connection.delivered;
}

// Until the next pause is due, or accepting resumes.
int Listener::poll_timeout(Clock::time_point now, Clock::time_point last_pause) const {
    Clock::time_point until = last_pause + pause_interval;
    if (now < accept_paused_until) {
        until = std::min(until, accept_paused_until + std::chrono::milliseconds(1));
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

bool Listener::wait_for_work(Clock::time_point last_pause) {
    Clock::time_point now = Clock::now();
    poll_fds.clear();
    poll_fds.push_back({wake.get(), POLLIN, 0});
    poll_fds.push_back({now >= accept_paused_until ? socket.get() : -1, POLLIN, 0});
    for (auto& connection : connections) {
        poll_fds.push_back({connection->socket.get(), POLLIN, 0});
    }
    if (::poll(poll_fds.data(), poll_fds.size(), poll_timeout(now, last_pause)) < 0) {
        return false;
    }
    if (poll_fds[0].revents != 0) {
        uint64_t count;
        ssize_t ignored = ::read(wake.get(), &count, sizeof count);
        (void)ignored;
    }
    return true;
}

// Waits until about gather_frames or gather_bytes will be waiting, whichever comes first at the
// rate of what was read since the last delivery, or until interrupt(); not at all when that is
// no later than the thread could be back. The wait never outlasts the span the rate was taken
// over, so a lull within it cannot stretch the wait; after a quiet spell the rate is taken over
// the longest gather instead, so a burst is not mistaken for a trickle.
void Listener::gather(const Round& round, Clock::duration since_last_delivery) {
    const Clock::duration over = std::min<Clock::duration>(since_last_delivery, longest_gather);
    const Clock::duration filled =
        std::min(over * gather_frames / static_cast<int64_t>(round.frames),
                 over * gather_bytes / static_cast<int64_t>(round.bytes));
    const Clock::duration wait = std::min<Clock::duration>(filled - wake_allowance, over);
    if (wait <= Clock::duration::zero()) {
        return;
    }
    timespec timeout = {0, static_cast<long>(std::chrono::nanoseconds(wait).count())};
    pollfd interrupt_fd = {wake.get(), POLLIN, 0};
    (void)::ppoll(&interrupt_fd, 1, &timeout, nullptr);
}

int Listener::serve(FrameConsumer& consumer) {
    received.resize(read_size);
    Clock::time_point last_pause = Clock::now();
    Clock::time_point last_delivery = last_pause;
    while (!interrupted.exchange(false)) {
        drop_dead_connections();
        if (!wait_for_work(last_pause)) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        // Reads first: accepting may reorder the writers, and the poll results follow them.
        Round round;
        for (size_t i = 0; i + 2 < poll_fds.size() && !interrupted; ++i) {
            size_t read = poll_fds[i + 2].revents == 0
                              ? 0
                              : read_connection(*connections[i], consumer, round);
            if (read > 0) {
                last_pause = Clock::now();
                if (!consumer.on_pause()) {
                    return 0;
                }
            }
        }
        if (poll_fds[1].revents != 0) {
            accept_connections();
        }
        Clock::time_point now = Clock::now();
        expire_connections(now);
        if (now - last_pause >= pause_interval) {
            last_pause = now;
            if (!consumer.on_pause()) {
                return 0;
            }
        }
        if (round.frames > 0) {
            if (!round.filled) {
                gather(round, now - last_delivery);
            }
            last_delivery = now;
        }
    }
    return 0;
}

}  // namespace tarn::net::dnstap
