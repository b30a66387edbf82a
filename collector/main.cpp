// The reference collector: accepts any number of agent connections on one TCP port and writes
// what they send as JSON lines on stdout (and, with --pcap, as a pcap file). Notes and errors
// go to stderr; the first stderr line is always "listening on ADDR:PORT".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/connection_stream.hpp"
#include "collector/pcap_writer.hpp"

namespace {

using tarn::collector::ConnectionStream;
using tarn::collector::PcapWriter;

const char usage_text[] =
    "usage: collector [--listen ADDR] [--port N] [--pcap FILE] [--max-frame BYTES]\n";
constexpr size_t read_size = 65536;
constexpr int reads_per_round = 16;  // per connection, so one busy agent cannot starve others
constexpr int accepts_per_round = 64;

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int) {
    stop_signal = 1;
}

struct Options {
    std::string listen = "127.0.0.1";
    uint16_t port = 8100;
    std::string pcap;
    uint32_t max_frame = 1048576;
};

class Socket {
  public:
    explicit Socket(int fd) : fd(fd) {}
    ~Socket() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

struct Connection {
    Connection(int fd, uint64_t id, std::string peer, uint32_t max_frame)
        : socket(fd), stream(id, std::move(peer), max_frame) {}
    Socket socket;
    ConnectionStream stream;
    bool done = false;
};

struct Totals {
    uint64_t connections = 0;
    uint64_t frames = 0;
    uint64_t records = 0;
    uint64_t errors = 0;
};

bool parse_number(const char* text, uint64_t max, uint64_t min, uint64_t& value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > max || parsed < min) {
        return false;
    }
    value = parsed;
    return true;
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        const char* value = argv[++i];
        uint64_t number = 0;
        if (name == "--listen") {
            options.listen = value;
        } else if (name == "--port" && parse_number(value, 65535, 0, number)) {
            options.port = static_cast<uint16_t>(number);
        } else if (name == "--pcap" && *value != '\0') {
            options.pcap = value;
        } else if (name == "--max-frame" && parse_number(value, UINT32_MAX, 1, number)) {
            options.max_frame = static_cast<uint32_t>(number);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

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

// A non-blocking listening socket; throws with the failed call's text.
int open_listener(const Options& options, std::string& bound) {
    sockaddr_storage address = {};
    socklen_t length = 0;
    std::string host = options.listen;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, host.c_str(), &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        in4.sin_port = htons(options.port);
        length = sizeof(in4);
    } else if (inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(options.port);
        length = sizeof(in6);
    } else {
        throw std::runtime_error("not an IPv4 or IPv6 address: " + options.listen);
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket() failed: ") + std::strerror(errno));
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int code = errno;
        close(fd);
        throw std::runtime_error("cannot listen on " + options.listen + ":" +
                                 std::to_string(options.port) + ": " + std::strerror(code));
    }
    bound = address_text(address);
    return fd;
}

// What a run keeps from round to round.
struct Server {
    Server(const Options& options, int listen_fd, std::unique_ptr<PcapWriter> pcap)
        : options(options), listener(listen_fd), pcap(std::move(pcap)) {}

    const Options& options;
    Socket listener;
    std::unique_ptr<PcapWriter> pcap;
    Totals totals;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(read_size);
    std::string json;
    std::string notes;
    bool paused = false;
};

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
                server.notes += std::string("accept() failed: ") + std::strerror(errno) + "\n";
                server.paused = true;
            }
            return;
        }
        ++totals.connections;
        server.connections.push_back(std::make_unique<Connection>(
            fd, totals.connections, address_text(peer), server.options.max_frame));
        server.notes += "conn " + std::to_string(totals.connections) + " from " +
                        server.connections.back()->stream.peer() + ": connected\n";
    }
}

// Reads what the connection has; marks it done when it ended or must be dropped.
void serve_connection(Server& server, Connection& connection) {
    ConnectionStream& stream = connection.stream;
    std::vector<uint8_t>& buffer = server.buffer;
    for (int i = 0; i < reads_per_round; ++i) {
        ssize_t got = recv(connection.socket.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            if (got < 0) {
                server.notes += "conn " + std::to_string(stream.conn()) + " from " + stream.peer() +
                                ": recv() failed: " + std::strerror(errno) + "\n";
            }
            server.notes += stream.close_note();
            if (stream.incomplete_bytes() > 0) {
                ++server.totals.errors;
            }
            connection.done = true;
            return;
        }
        if (!stream.consume(buffer.data(), static_cast<size_t>(got), server.json, server.notes,
                            server.pcap.get())) {
            ++server.totals.errors;
            connection.done = true;
            return;
        }
    }
}

// Writes the round's output; false when stdout or stderr can no longer be written.
bool write_out(std::FILE* file, std::string& text) {
    bool ok = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    text.clear();
    return std::fflush(file) == 0 && ok;
}

// Opens the listener and the pcap file and announces the address; -1 after saying why not.
int open_outputs(const Options& options, std::unique_ptr<PcapWriter>& pcap) {
    std::string bound;
    int listen_fd = -1;
    try {
        listen_fd = open_listener(options, bound);
        if (!options.pcap.empty()) {
            pcap = std::make_unique<PcapWriter>(options.pcap);
        }
    } catch (const std::exception& failure) {
        if (listen_fd >= 0) {
            close(listen_fd);
        }
        std::fprintf(stderr, "collector: %s\n", failure.what());
        return -1;
    }
    std::fprintf(stderr, "listening on %s\n", bound.c_str());
    std::fflush(stderr);
    return listen_fd;
}

// The stop signals stay blocked except inside ppoll: a signal can't slip in between the flag
// test and the wait. Returns the mask for ppoll.
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

// Waits for the listener (unless accepting is paused) or any connection to be readable.
Wait wait_for_input(Server& server, const sigset_t& wait_set) {
    std::vector<pollfd>& fds = server.fds;
    fds.clear();
    fds.push_back({server.paused ? -1 : server.listener.get(), POLLIN, 0});
    for (const auto& connection : server.connections) {
        fds.push_back({connection->socket.get(), POLLIN, 0});
    }
    timespec pause_time = {1, 0};
    int ready = ppoll(fds.data(), fds.size(), server.paused ? &pause_time : nullptr, &wait_set);
    if (ready < 0) {
        if (errno == EINTR) {
            return Wait::interrupted;
        }
        std::fprintf(stderr, "collector: poll() failed: %s\n", std::strerror(errno));
        return Wait::failed;
    }
    server.paused = false;
    return Wait::ready;
}

// Serves the ready connections, then accepts; false when stdout can no longer be written.
bool serve_round(Server& server) {
    bool out_ok = true;
    for (size_t i = 0; i < server.connections.size() && out_ok; ++i) {
        if (server.fds[i + 1].revents != 0) {
            serve_connection(server, *server.connections[i]);
            // Per connection, so many busy agents cannot pile up output in memory.
            out_ok = write_out(stdout, server.json);
            write_out(stderr, server.notes);
        }
    }
    if (out_ok && server.fds[0].revents != 0) {
        accept_connections(server);
        write_out(stderr, server.notes);
    }
    return out_ok;
}

void count_frames(Totals& totals, const Connection& connection) {
    totals.frames += connection.stream.frames();
    totals.records += connection.stream.records();
}

void remove_done_connections(Server& server) {
    auto& connections = server.connections;
    for (size_t i = 0; i < connections.size();) {
        if (connections[i]->done) {
            count_frames(server.totals, *connections[i]);
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

// Counts what the open connections took, flushes everything and prints the summary.
int finish(Server& server, int status) {
    for (const auto& connection : server.connections) {
        count_frames(server.totals, *connection);
    }
    server.connections.clear();
    if (server.pcap && !server.pcap->flush()) {
        status = 1;
    }
    server.pcap.reset();
    std::fflush(stdout);
    const Totals& totals = server.totals;
    std::fprintf(stderr, "summary: connections %llu frames %llu records %llu errors %llu\n",
                 static_cast<unsigned long long>(totals.connections),
                 static_cast<unsigned long long>(totals.frames),
                 static_cast<unsigned long long>(totals.records),
                 static_cast<unsigned long long>(totals.errors));
    std::fflush(stderr);
    return status;
}

int run(const Options& options) {
    std::unique_ptr<PcapWriter> pcap;
    int listen_fd = open_outputs(options, pcap);
    if (listen_fd < 0) {
        return 1;
    }
    Server server(options, listen_fd, std::move(pcap));
    const sigset_t wait_set = block_stop_signals();
    int status = 0;
    while (stop_signal == 0) {
        Wait wait = wait_for_input(server, wait_set);
        if (wait == Wait::interrupted) {
            continue;
        }
        if (wait == Wait::failed) {
            status = 1;
            break;
        }
        bool out_ok = serve_round(server);
        remove_done_connections(server);
        if (!out_ok || (server.pcap && !server.pcap->flush())) {
            std::fprintf(stderr, "collector: %s write failed: %s\n", out_ok ? "pcap" : "stdout",
                         std::strerror(errno));
            status = 1;
            break;
        }
    }
    return finish(server, status);
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return run(*options);
}
