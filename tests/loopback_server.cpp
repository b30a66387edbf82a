#include "loopback_server.hpp"

#include <algorithm>

namespace tarn::test {

LoopbackServer::LoopbackServer(std::vector<ConnectionPlan> connection_plans)
    : plans(std::move(connection_plans)) {
    socket_shim::startup();
    listener = socket_shim::listen_loopback(listen_port);
    if (listener != -1) {
        worker = std::thread([this] { serve(); });
    }
}

LoopbackServer::~LoopbackServer() {
    stopping = true;
    if (worker.joinable()) {
        worker.join();
    }
    socket_shim::close_handle(listener);
}

std::vector<Bytes> LoopbackServer::received() const {
    std::lock_guard<std::mutex> guard(lock);
    return connections;
}

bool LoopbackServer::wait_for(const std::function<bool(const std::vector<Bytes>&)>& condition,
                              std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition(received())) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void LoopbackServer::serve() {
    struct Open {
        intptr_t handle;
        size_t index;
        ConnectionPlan plan;
    };
    std::vector<Open> open;
    std::vector<uint8_t> buffer(1 << 16);
    while (!stopping) {
        std::vector<intptr_t> watched = {listener};
        for (const Open& connection : open) {
            if (connection.plan.mode != ConnectionPlan::Mode::never_read) {
                watched.push_back(connection.handle);
            }
        }
        std::vector<bool> ready;
        if (!socket_shim::wait_readable(watched, ready, 20)) {
            continue;
        }
        if (ready[0]) {
            intptr_t accepted = socket_shim::accept_one(listener);
            if (accepted != -1) {
                std::lock_guard<std::mutex> guard(lock);
                // A new connection means the agent gave up on the older ones.
                for (const Open& old : open) {
                    socket_shim::close_handle(old.handle);
                }
                open.clear();
                size_t index = connections.size();
                connections.emplace_back();
                open.push_back({accepted, index, plans[std::min(index, plans.size() - 1)]});
            }
            continue;
        }
        for (size_t i = 1; i < watched.size(); ++i) {
            if (!ready[i]) {
                continue;
            }
            auto found = std::find_if(open.begin(), open.end(),
                                      [&](const Open& o) { return o.handle == watched[i]; });
            size_t want = buffer.size();
            size_t have = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                have = connections[found->index].size();
            }
            if (found->plan.mode == ConnectionPlan::Mode::reset_after) {
                want = std::min(want, found->plan.reset_after_bytes - have);
            }
            long count = socket_shim::receive_some(found->handle, buffer.data(), want);
            if (count <= 0) {
                socket_shim::close_handle(found->handle);
                open.erase(found);
                continue;
            }
            std::lock_guard<std::mutex> guard(lock);
            Bytes& stream = connections[found->index];
            stream.insert(stream.end(), buffer.begin(), buffer.begin() + count);
            if (found->plan.mode == ConnectionPlan::Mode::reset_after &&
                stream.size() >= found->plan.reset_after_bytes) {
                socket_shim::reset_handle(found->handle);
                open.erase(found);
            }
        }
    }
    for (const Open& connection : open) {
        socket_shim::close_handle(connection.handle);
    }
}

uint16_t unused_port() {
    socket_shim::startup();
    uint16_t port = 0;
    intptr_t handle = socket_shim::listen_loopback(port);
    socket_shim::close_handle(handle);
    return port;
}

bool split_frames(const Bytes& stream, std::vector<Bytes>& frames) {
    size_t at = 0;
    while (at < stream.size()) {
        if (stream.size() - at < 4) {
            return false;
        }
        size_t length = (size_t{stream[at]} << 24) | (size_t{stream[at + 1]} << 16) |
                        (size_t{stream[at + 2]} << 8) | stream[at + 3];
        if (stream.size() - at - 4 < length) {
            return false;
        }
        frames.emplace_back(stream.begin() + at + 4, stream.begin() + at + 4 + length);
        at += 4 + length;
    }
    return true;
}

}  // namespace tarn::test
