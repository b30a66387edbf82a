#pragma once

// How the loopback peers of the real-traffic runs end: SIGINT or SIGTERM sets stop_requested.
// No SA_RESTART, so a blocked poll returns EINTR and the loop sees the request.
#include <signal.h>

#include <csignal>

namespace tarn::bench {

inline volatile std::sig_atomic_t stop_requested = 0;

inline void stop_on_signals() {
    struct sigaction action = {};
    action.sa_handler = [](int) { stop_requested = 1; };
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace tarn::bench
