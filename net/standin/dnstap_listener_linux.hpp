#pragma once

// The Unix stream socket where DNS servers write dnstap over Frame Streams: the socket with its
// stale-socket probe, at most 64 writers with their handshakes and deadlines, and the poll loop
// that hands every data frame to one consumer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include "support/file_descriptor_posix.hpp"

namespace tarn::net::dnstap {

class FrameConsumer {
  public:
    // One data frame: nullptr to go on, or the (static) reason to drop its writer.
    virtual const char* on_frame(const uint8_t* data, uint32_t size) = 0;
    // After each read that delivered frames, and at least once a second: false ends serve().
    virtual bool on_pause() = 0;

  protected:
    ~FrameConsumer() = default;
};

// Why the socket could not be made: the call that failed and its errno.
struct SocketFailure {
    const char* call = nullptr;
    int code = 0;
};

class Listener {
  public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Creates the socket at path, mode 0660, replacing one left behind by an earlier run but
    // never one another process listens on.
    SocketFailure open(const std::string& path);
    // Serves the writers until interrupt() or the consumer ends it: 0, or the errno of poll.
    // An exception from the consumer costs its writer and leaves serve() through the caller.
    int serve(FrameConsumer& consumer);
    // Stops listening and drops every writer, outside serve(); open() may take the path again.
    void close();
    // From any thread: the running serve() returns.
    void interrupt();
    void clear_interrupt() { interrupted = false; }

  private:
    struct Connection;
    // What one round of reads took: data frames, bytes, and whether a read filled the buffer
    // (more is waiting).
    struct Round {
        size_t frames = 0;
        size_t bytes = 0;
        bool filled = false;
    };
    using Clock = std::chrono::steady_clock;

    bool make_room();
    void accept_connections();
    void drop_dead_connections();
    void expire_connections(Clock::time_point now);
    size_t read_connection(Connection& connection, FrameConsumer& consumer, Round& round);
    int poll_timeout(Clock::time_point now, Clock::time_point last_pause) const;
    bool wait_for_work(Clock::time_point last_pause);
    void gather(const Round& round, Clock::duration since_last_delivery);

    FileDescriptor socket;
    FileDescriptor wake;  // eventfd: interrupt() ends the poll of a running serve()
    std::atomic<bool> interrupted{false};
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> poll_fds;
    std::vector<uint8_t> received;
    Clock::time_point accept_paused_until;
};

}  // namespace tarn::net::dnstap
