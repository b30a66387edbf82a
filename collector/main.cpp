// The reference collector: accepts agent connections on one TCP port and writes what they
// send as JSON lines on stdout and, on request, as a pcap file and as dnstap. Every output has
// its own bounded buffer and thread, so that no output stalls reading. Notes and errors go to
// stderr; the first stderr line is always "listening on ADDR:PORT". With --metrics, its figures
// are served at /metrics.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "collector/clickhouse_sink.hpp"
#include "collector/connection_stream.hpp"
#include "collector/dnstap_writer.hpp"
#include "collector/metrics_server.hpp"
#include "collector/options.hpp"
#include "collector/output_queue.hpp"
#include "collector/pcap_writer.hpp"
#include "collector/socket_address.hpp"
#include "collector/tls_server.hpp"
#include "support/file_descriptor_posix.hpp"

namespace {

using namespace tarn::collector;
using Clock = std::chrono::steady_clock;

constexpr size_t read_size = 65536;
// What a round holds before the output threads get it: one lock and copy per output for
// many connections' records, and a round's memory bounded. At most a quarter of an output's
// buffer, so that one hand-over cannot overflow a buffer its writer keeps empty.
constexpr size_t hand_over_bytes = 1 << 20;
constexpr int reads_per_round = 16;  // per connection, so one busy agent cannot starve others
constexpr int accepts_per_round = 64;
constexpr std::chrono::seconds longest_wait{1};  // outputs that failed are noticed by then
// How often connections are looked at for a stall: a pass over all of them, so not each round.
constexpr std::chrono::milliseconds stall_check{250};
constexpr std::chrono::seconds accept_pause{1};  // out of descriptors
constexpr int ready_per_wait = 256;
constexpr std::chrono::seconds flush_time{5};  // for all outputs at stop

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int) {
    stop_signal = 1;
}

struct Connection {
    Connection(int fd, uint64_t id, const std::string& peer, uint32_t max_frame,
               Clock::time_point now)
        : socket(fd), stream(id, peer, max_frame), connected(now) {}
    tarn::FileDescriptor socket;
    ConnectionStream stream;
    Clock::time_point connected;
    std::optional<Clock::time_point> frame_begun;  // while inside a frame: when it began
    bool done = false;
    Ssl tls;                        // with --tls-cert
    bool handshaking = false;       // until the TLS handshake is done
    uint32_t events = EPOLLIN;      // what the next step waits for
    uint32_t registered = EPOLLIN;  // what epoll waits for
    uint64_t told_records = 0;      // to the metrics
};

struct Totals {
    uint64_t connections = 0;
    uint64_t frames = 0;
    uint64_t records = 0;
    uint64_t errors = 0;
    uint64_t refused = 0;
    uint64_t cut = 0;
};

std::string address_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in4.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(in4.sin_port));
}

// A non-blocking listening socket with a deep backlog: a burst of agents reconnecting at once
// must not wait out SYN retransmissions. Throws with the failed call's text.
int open_listener(const Options& options, std::string& bound) {
    sockaddr_storage address = {};
    socklen_t length = 0;
    length = to_socket_address(options.listen, static_cast<uint16_t>(options.port), address);
    if (length == 0) {
        throw std::runtime_error("not an IPv4 or IPv6 address: " + options.listen);
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket() failed: ") + std::strerror(errno));
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int code = errno;
        close(fd);
        throw std::runtime_error("cannot listen on " + options.listen + ":" +
                                 std::to_string(options.port) + ": " + std::strerror(code));
    }
    bound = address_text(address);
    return fd;
}

// The outputs and what a run keeps from round to round.
struct Server {
    explicit Server(const Options& options) : options(options) {}

    const Options& options;
    tarn::FileDescriptor listener;
    SslContext tls;
    std::unique_ptr<OutputQueue> json;
    std::unique_ptr<OutputQueue> notes;
    std::unique_ptr<OutputQueue> pcap;
    std::vector<std::unique_ptr<OutputQueue>> dnstap;
    std::unique_ptr<OutputQueue> clickhouse;
    std::unique_ptr<CollectorMetrics> metrics;
    std::unique_ptr<MetricsServer> metrics_server;
    PcapEncoder pcap_encoder;
    RoundOutput round;
    Totals totals;
    std::vector<std::unique_ptr<Connection>> connections;
    tarn::FileDescriptor poller;  // epoll: a round costs what is ready, not what is open
    epoll_event ready[ready_per_wait] = {};
    int ready_count = 0;
    bool any_done = false;  // some connection waits to be removed
    Clock::time_point next_stall_check;
    std::optional<Clock::time_point> paused_until;  // accepting, out of descriptors
    std::vector<uint8_t> buffer = std::vector<uint8_t>(read_size);
};

// Listener and connections in the epoll set; the listener's data is null.
bool watch(Server& server, int fd, uint32_t events, Connection* connection, int operation) {
    epoll_event event = {};
    event.events = events;
    event.data.ptr = connection;
    return epoll_ctl(server.poller.get(), operation, fd, &event) == 0;
}

// Opens the listener and the file outputs, announces the address and starts the output
// threads; false after saying why not.
bool open_outputs(Server& server) {
    const Options& options = server.options;
    std::string bound;
    std::unique_ptr<Sink> pcap;
    std::vector<std::unique_ptr<Sink>> dnstap;
    std::unique_ptr<ClickHouseSink> clickhouse;
    try {
        server.listener.reset(open_listener(options, bound));
        server.poller.reset(epoll_create1(EPOLL_CLOEXEC));
        if (!server.poller.valid() ||
            !watch(server, server.listener.get(), EPOLLIN, nullptr, EPOLL_CTL_ADD)) {
            throw std::runtime_error(std::string("epoll failed: ") + std::strerror(errno));
        }
        server.tls = make_server_context(options);
        if (!options.pcap.empty()) {
            pcap = std::make_unique<PcapSink>(options.pcap);
        }
        for (const std::string& target : options.dnstap) {
            dnstap.push_back(std::make_unique<DnstapSink>(target));
        }
        if (!options.clickhouse.empty()) {
            clickhouse =
                std::make_unique<ClickHouseSink>(options.clickhouse, options.clickhouse_table);
            const std::string unfit = clickhouse->prepare();
            if (!unfit.empty()) {
                throw std::runtime_error("ClickHouse: " + unfit);
            }
        }
        if (!options.metrics.empty()) {
            server.metrics = std::make_unique<CollectorMetrics>(options.metrics_agents);
            server.metrics_server =
                std::make_unique<MetricsServer>(options.metrics, *server.metrics);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "collector: %s\n", failure.what());
        return false;
    }
    std::fprintf(stderr, "listening on %s\n", bound.c_str());
    if (server.metrics_server) {
        std::fprintf(stderr, "metrics on http://%s/metrics\n",
                     server.metrics_server->bound().c_str());
    }
    std::fflush(stderr);
    const size_t limit = options.buffer;
    if (options.json) {
        server.json = std::make_unique<OutputQueue>(
            std::make_unique<DescriptorSink>(STDOUT_FILENO, "stdout"), limit);
    }
    server.round.json_on = options.json;
    if (clickhouse) {
        server.clickhouse = std::make_unique<OutputQueue>(std::move(clickhouse), limit);
        server.round.clickhouse_on = true;
    }
    server.notes = std::make_unique<OutputQueue>(
        std::make_unique<DescriptorSink>(STDERR_FILENO, "stderr"), limit);
    if (pcap) {
        server.pcap = std::make_unique<OutputQueue>(std::move(pcap), limit);
        server.round.pcap_encoder = &server.pcap_encoder;
    }
    for (auto& sink : dnstap) {
        server.dnstap.push_back(std::make_unique<OutputQueue>(std::move(sink), limit));
    }
    server.round.dnstap_on = !server.dnstap.empty();
    return true;
}

// Hands what the round produced so far to the output threads; the round's batches keep their
// memory.
void hand_over(Server& server) {
    RoundOutput& round = server.round;
    const std::pair<OutputQueue*, Batch*> outputs[] = {{server.json.get(), &round.json},
                                                       {server.notes.get(), &round.notes},
                                                       {server.clickhouse.get(), &round.clickhouse},
                                                       {server.pcap.get(), &round.pcap}};
    for (const auto& [queue, batch] : outputs) {
        if (queue != nullptr) {
            queue->push(*batch);
        }
        batch->clear();
    }
    for (size_t i = 0; i + 1 < server.dnstap.size(); ++i) {
        server.dnstap[i]->push_copy(round.dnstap);
    }
    if (!server.dnstap.empty()) {
        server.dnstap.back()->push(round.dnstap);
    }
    round.dnstap.clear();
}

void count_refusal(Server& server, Refusal reason) {
    if (server.metrics) {
        server.metrics->refused(reason);
    }
}

// The records the connection's stream took since the metrics were last told.
void tell_records(Server& server, Connection& connection) {
    const uint64_t records = connection.stream.records();
    if (server.metrics && records != connection.told_records) {
        server.metrics->took(connection.stream.agent(), records - connection.told_records,
                             std::time(nullptr));
    }
    connection.told_records = records;
}

// What an output dropped; 0 for one that is off.
uint64_t dropped(const std::unique_ptr<OutputQueue>& queue) {
    return queue ? queue->dropped() : 0;
}

// All dnstap outputs together, as the summary and the metrics count them.
uint64_t dnstap_dropped(const Server& server) {
    uint64_t total = 0;
    for (const auto& queue : server.dnstap) {
        total += dropped(queue);
    }
    return total;
}

// What the serving loop knows and the metrics show, once a round.
void update_metrics(Server& server) {
    if (!server.metrics) {
        return;
    }
    CollectorMetrics& metrics = *server.metrics;
    metrics.set_connected(server.connections.size());
    metrics.set_dropped(Output::json, dropped(server.json));
    metrics.set_dropped(Output::clickhouse, dropped(server.clickhouse));
    metrics.set_dropped(Output::pcap, dropped(server.pcap));
    metrics.set_dropped(Output::dnstap, dnstap_dropped(server));
}

// One connection too many is closed at once, so that its peer learns of it.
void accept_connections(Server& server) {
    Totals& totals = server.totals;
    for (int i = 0; i < accepts_per_round; ++i) {
        sockaddr_storage peer = {};
        socklen_t length = sizeof(peer);
        int fd = accept4(server.listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a while instead of spinning.
                server.round.note(std::string("accept() failed: ") + std::strerror(errno));
                server.paused_until = Clock::now() + accept_pause;
                watch(server, server.listener.get(), 0, nullptr, EPOLL_CTL_MOD);
            }
            return;
        }
        if (server.connections.size() >= server.options.max_connections) {
            tarn::FileDescriptor refused(fd);
            ++totals.refused;
            count_refusal(server, Refusal::limit);
            server.round.note("connection from " + address_text(peer) +
                              " refused: " + std::to_string(server.connections.size()) +
                              " connections open (--max-connections)");
            continue;
        }
        ++totals.connections;
        server.connections.push_back(std::make_unique<Connection>(
            fd, totals.connections, address_text(peer),
            static_cast<uint32_t>(server.options.max_frame), Clock::now()));
        Connection& connection = *server.connections.back();
        if (!watch(server, fd, EPOLLIN, &connection, EPOLL_CTL_ADD)) {
            server.round.note(connection.stream.label() +
                              ": epoll failed: " + std::strerror(errno) + "; connection dropped");
            connection.done = server.any_done = true;
            continue;
        }
        server.round.note(connection.stream.label() + ": connected");
        if (server.tls) {
            connection.tls.reset(SSL_new(server.tls.get()));
            SSL_set_fd(connection.tls.get(), fd);
            SSL_set_accept_state(connection.tls.get());
            connection.handshaking = true;
        }
    }
}

// Moves the agent's TLS handshake on; false while it is unfinished or after it failed (the
// connection is then done, with one note).
bool continue_handshake(Server& server, Connection& connection) {
    std::string error;
    switch (accept_step(connection.tls.get(), error)) {
        case TlsStep::done:
            break;
        case TlsStep::want_read:
            connection.events = EPOLLIN;
            return false;
        case TlsStep::want_write:
            connection.events = EPOLLOUT;
            return false;
        case TlsStep::failed:
            server.round.note(connection.stream.label() + ": TLS handshake failed: " + error +
                              "; connection dropped");
            ++server.totals.errors;
            count_refusal(server, Refusal::tls);
            connection.done = true;
            return false;
    }
    connection.handshaking = false;
    connection.events = EPOLLIN;
    const std::string subject = peer_subject(connection.tls.get());
    if (!subject.empty()) {
        connection.stream.set_subject(subject);
    }
    return true;
}

// Bytes read; 0 once the peer closed, -1 while nothing is there, -2 after error is set.
long read_some(Connection& connection, std::vector<uint8_t>& buffer, std::string& error) {
    if (connection.tls) {
        return tls_read(connection.tls.get(), buffer.data(), buffer.size(), error);
    }
    ssize_t got = recv(connection.socket.get(), buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return -1;
    }
    if (got < 0) {
        error = std::string("recv() failed: ") + std::strerror(errno);
        return -2;
    }
    return got;
}

// Where the frame being received began, for the stall time-out: a read that ends inside a
// frame begins one unless it continues the frame of the read before.
void track_frame(Connection& connection, uint64_t frames_before, bool was_inside) {
    const ConnectionStream& stream = connection.stream;
    if (stream.incomplete_bytes() == 0) {
        connection.frame_begun.reset();
    } else if (!was_inside || stream.frames() != frames_before) {
        connection.frame_begun = Clock::now();
    }
}

// Reads what the connection has; marks it done when it ended or must be dropped.
void serve_connection(Server& server, Connection& connection) {
    ConnectionStream& stream = connection.stream;
    std::vector<uint8_t>& buffer = server.buffer;
    if (connection.handshaking && !continue_handshake(server, connection)) {
        return;
    }
    std::string error;
    for (int i = 0; i < reads_per_round; ++i) {
        long got = read_some(connection, buffer, error);
        if (got == -1) {
            return;
        }
        if (got <= 0) {
            if (got < 0) {
                server.round.note(stream.label() + ": " + error);
            }
            server.round.note(stream.close_note());
            server.totals.errors += stream.incomplete_bytes() > 0 ? 1 : 0;
            connection.done = true;
            return;
        }
        if (server.metrics) {
            server.metrics->received(static_cast<uint64_t>(got));
        }
        const uint64_t frames_before = stream.frames();
        const bool was_inside = stream.incomplete_bytes() > 0;
        if (!stream.consume(buffer.data(), static_cast<size_t>(got), server.round)) {
            ++server.totals.errors;
            count_refusal(server, Refusal::protocol);
            connection.done = true;
            return;
        }
        track_frame(connection, frames_before, was_inside);
        if (!connection.tls && static_cast<size_t>(got) < buffer.size()) {
            return;  // drained: one recv() fewer than reading until EAGAIN
        }
    }
}

// When the connection is cut: one that has not sent its version frame, or stopped inside a
// frame. None for an agent at a frame boundary: it is quiet while its DNS server is.
std::optional<Clock::time_point> stall_deadline(const Server& server,
                                                const Connection& connection) {
    const std::chrono::seconds timeout(server.options.stall_timeout);
    if (!connection.stream.version_seen()) {
        return connection.connected + timeout;
    }
    if (connection.frame_begun) {
        return *connection.frame_begun + timeout;
    }
    return std::nullopt;
}

void cut_stalled(Server& server) {
    const Clock::time_point now = Clock::now();
    if (now < server.next_stall_check) {
        return;
    }
    server.next_stall_check = now + stall_check;
    for (const auto& connection : server.connections) {
        std::optional<Clock::time_point> deadline = stall_deadline(server, *connection);
        if (connection->done || !deadline || *deadline > now) {
            continue;
        }
        const ConnectionStream& stream = connection->stream;
        const std::string timeout = std::to_string(server.options.stall_timeout) + " s";
        server.round.note(stream.label() + ": " +
                          (connection->handshaking ? "TLS handshake unfinished for " + timeout
                           : !stream.version_seen()
                               ? "no version frame within " + timeout
                               : "frame unfinished for " + timeout + " (" +
                                     std::to_string(stream.incomplete_bytes()) + " bytes)") +
                          "; connection cut (--stall-timeout)");
        ++server.totals.cut;
        count_refusal(server, Refusal::stall);
        connection->done = server.any_done = true;
    }
}

// The stop signals stay blocked except inside epoll_pwait: a signal cannot slip in between the
// flag test and the wait. Returns the mask for epoll_pwait.
sigset_t block_stop_signals() {
    sigset_t stop_set;
    sigset_t wait_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_set);
    sigdelset(&wait_set, SIGINT);
    sigdelset(&wait_set, SIGTERM);
    return wait_set;
}

enum class Wait { ready, interrupted, failed };

// Waits for the listener (unless accepting is paused) or any connection to be ready, at most
// until the next look for stalls.
Wait wait_for_input(Server& server, const sigset_t& wait_set) {
    const Clock::time_point now = Clock::now();
    if (server.paused_until && *server.paused_until <= now) {
        server.paused_until.reset();
        watch(server, server.listener.get(), EPOLLIN, nullptr, EPOLL_CTL_MOD);
    }
    Clock::time_point until = std::min(now + longest_wait, server.next_stall_check);
    until = std::min(until, server.paused_until.value_or(until));
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    server.ready_count = 0;
    const int ready = epoll_pwait(server.poller.get(), server.ready, ready_per_wait,
                                  static_cast<int>(std::max<decltype(wait)>(wait, 0)), &wait_set);
    if (ready < 0) {
        if (errno == EINTR) {
            return Wait::interrupted;
        }
        std::fprintf(stderr, "collector: epoll_pwait() failed: %s\n", std::strerror(errno));
        return Wait::failed;
    }
    server.ready_count = ready;
    return Wait::ready;
}

// Serves the ready connections, then accepts.
void serve_round(Server& server) {
    bool accept = false;
    for (int i = 0; i < server.ready_count; ++i) {
        auto* connection = static_cast<Connection*>(server.ready[i].data.ptr);
        if (connection == nullptr) {
            accept = true;
            continue;
        }
        serve_connection(server, *connection);
        tell_records(server, *connection);
        if (server.round.bytes() >= std::min<size_t>(hand_over_bytes, server.options.buffer / 4)) {
            hand_over(server);
        }
        server.any_done = server.any_done || connection->done;
        if (!connection->done && connection->events != connection->registered) {
            watch(server, connection->socket.get(), connection->events, connection, EPOLL_CTL_MOD);
            connection->registered = connection->events;
        }
    }
    if (accept) {
        accept_connections(server);
    }
}

void count_frames(Totals& totals, const Connection& connection) {
    totals.frames += connection.stream.frames();
    totals.records += connection.stream.records();
}

void remove_done_connections(Server& server) {
    if (!server.any_done) {
        return;
    }
    server.any_done = false;
    auto& connections = server.connections;
    // One pass however many ended: thousands of agents may go at once.
    const auto kept = std::stable_partition(
        connections.begin(), connections.end(),
        [](const std::unique_ptr<Connection>& connection) { return !connection->done; });
    for (auto done = kept; done != connections.end(); ++done) {
        count_frames(server.totals, **done);
    }
    connections.erase(kept, connections.end());
}

// Every output; a pcap output that is off is null.
std::vector<OutputQueue*> all_outputs(const Server& server) {
    std::vector<OutputQueue*> outputs = {server.json.get(), server.notes.get(), server.pcap.get(),
                                         server.clickhouse.get()};
    for (const auto& queue : server.dnstap) {
        outputs.push_back(queue.get());
    }
    return outputs;
}

// The first output that failed for good (stdout, a file), said on stderr; stderr's own
// failure only loses notes.
bool outputs_failed(const Server& server) {
    for (const OutputQueue* queue : all_outputs(server)) {
        const std::string failure =
            queue != nullptr && queue != server.notes.get() ? queue->failure() : "";
        if (!failure.empty()) {
            std::fprintf(stderr, "collector: %s\n", failure.c_str());
            return true;
        }
    }
    return false;
}

// Closes all outputs at once, then gives them flush_time together to write what they hold.
void flush_outputs(const Server& server) {
    const std::vector<OutputQueue*> outputs = all_outputs(server);
    for (OutputQueue* queue : outputs) {
        if (queue != nullptr) {
            queue->close();
        }
    }
    const Clock::time_point deadline = Clock::now() + flush_time;
    for (OutputQueue* queue : outputs) {
        if (queue != nullptr) {
            queue->finish(deadline);
        }
    }
}

void print_summary(const Server& server) {
    const Totals& t = server.totals;
    std::fprintf(
        stderr,
        "summary: connections %llu frames %llu records %llu errors %llu refused %llu "
        "cut %llu dropped stdout %llu stderr %llu pcap %llu dnstap %llu clickhouse %llu\n",
        static_cast<unsigned long long>(t.connections), static_cast<unsigned long long>(t.frames),
        static_cast<unsigned long long>(t.records), static_cast<unsigned long long>(t.errors),
        static_cast<unsigned long long>(t.refused), static_cast<unsigned long long>(t.cut),
        static_cast<unsigned long long>(dropped(server.json)),
        static_cast<unsigned long long>(dropped(server.notes)),
        static_cast<unsigned long long>(dropped(server.pcap)),
        static_cast<unsigned long long>(dnstap_dropped(server)),
        static_cast<unsigned long long>(dropped(server.clickhouse)));
    std::fflush(stderr);
}

// Counts what the open connections took, flushes the outputs and prints the summary.
int finish(Server& server, int status) {
    for (const auto& connection : server.connections) {
        count_frames(server.totals, *connection);
    }
    server.connections.clear();
    hand_over(server);
    flush_outputs(server);
    print_summary(server);
    return status;
}

int run(const Options& options) {
    // Before the output threads start, so that they inherit the mask and never take the
    // signal (a write cut by EINTR in libfstrm would count as a lost receiver).
    const sigset_t wait_set = block_stop_signals();
    Server server(options);
    if (!open_outputs(server)) {
        return 1;
    }
    int status = 0;
    while (stop_signal == 0 && status == 0) {
        Wait wait = wait_for_input(server, wait_set);
        if (wait == Wait::failed) {
            status = 1;
        } else if (wait == Wait::ready) {
            serve_round(server);
        }
        cut_stalled(server);
        remove_done_connections(server);
        hand_over(server);
        update_metrics(server);
        status = status != 0 || outputs_failed(server) ? 1 : 0;
    }
    return finish(server, status);
}

// Room for --max-connections: the soft descriptor limit goes up to the hard one.
void raise_descriptor_limit() {
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    raise_descriptor_limit();
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return run(*options);
}
