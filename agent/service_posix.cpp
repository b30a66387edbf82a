#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"
#include "support/file_descriptor_posix.hpp"

// No service control manager here: the agent always runs in the console mode, and speaks the
// systemd notify protocol when systemd started it.
namespace tarn {

namespace {

// Read once before any thread exists; the threads only read it.
sockaddr_un notify_address{};
socklen_t notify_address_length = 0;

// Written by the signal handler, read by the forwarding thread; open for the life of the process,
// since the forwarder reads it until the process ends.
int stop_pipe[2] = {-1, -1};

void find_notify_socket() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) {
        return;
    }
    std::size_t length = std::strlen(path);
    if (length >= sizeof notify_address.sun_path) {
        return;
    }
    notify_address.sun_family = AF_UNIX;
    std::memcpy(notify_address.sun_path, path, length);
    if (path[0] == '@') {
        notify_address.sun_path[0] = '\0';  // abstract socket name
    }
    notify_address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
}

void notify_service_manager(const char* state) {
    if (notify_address_length == 0) {
        return;
    }
    FileDescriptor socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket_fd.get() < 0) {
        return;
    }
    sendto(socket_fd.get(), state, std::strlen(state), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&notify_address), notify_address_length);
}

// Only async-signal-safe work here: one byte into the pipe. The forwarding thread does the
// event_signal, which takes a mutex.
extern "C" void handle_stop_signal(int signal_number) {
    if (signal_number == SIGINT || signal_number == SIGTERM) {
        int saved_errno = errno;
        char byte = static_cast<char>(signal_number);
        [[maybe_unused]] ssize_t written = write(stop_pipe[1], &byte, 1);
        errno = saved_errno;
    }
}

uint32_t forward_stop_requests(void*) {
    for (;;) {
        char byte = 0;
        ssize_t count = read(stop_pipe[0], &byte, 1);
        if (count == 1) {
            notify_service_manager("STOPPING=1");
            event_signal(stop_event);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return 0;
        }
    }
}

bool start_forwarding() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    // Closed here unless the forwarder starts; then they are the process's.
    FileDescriptor reader(ends[0]);
    FileDescriptor writer(ends[1]);
    // A full pipe already holds a pending stop; the handler must never block on it.
    fcntl(writer.get(), F_SETFL, O_NONBLOCK);
    stop_pipe[0] = reader.get();
    stop_pipe[1] = writer.get();
    Thread forwarder = nullptr;  // lives as long as the process
    if (thread_start(&forwarder, forward_stop_requests, nullptr) != 0) {
        stop_pipe[0] = stop_pipe[1] = -1;
        return false;
    }
    reader.release();
    writer.release();
    return true;
}

}  // namespace

void install_stop_handlers() {
    static bool forwarding = start_forwarding();
    if (!forwarding) {
        return;  // the default action still ends the process
    }
    struct sigaction action {};
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    // The handler acts once per signal: a second Ctrl+C during the stop ends the process.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

int run_dispatcher() {
    // A collector that drops the connection must cost a failed send, not the process.
    signal(SIGPIPE, SIG_IGN);
    find_notify_socket();
    create_stop_primitives();
    notify_service_manager("READY=1");
    // A failed run exits non-zero, so the unit's Restart=on-failure restarts it.
    return run_agent();
}

}  // namespace tarn
