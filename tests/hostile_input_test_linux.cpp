// Hostile local input on the dnstap socket: who may connect at all, a flood of connections,
// and running out of descriptors. A well-behaved DNS server must keep being captured.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dnstap_harness_linux.hpp"
#include "log_capture.hpp"

namespace tarn::net {
namespace {

using namespace std::chrono_literals;
using namespace tarn::test;

std::vector<uint16_t> sequence(uint16_t first, uint16_t last) {
    std::vector<uint16_t> ids;
    for (uint16_t id = first; id <= last; ++id) {
        ids.push_back(id);
    }
    return ids;
}

Bytes started_query(uint16_t id) {
    return joined(
        {control_frame(2, {dnstap_type}),
         data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(id, 0)))});
}

// Connects as another user in a child, so this process keeps its identity. 0 when the
// connection was made, else the errno of the failure.
int connect_as(const std::string& path, uid_t uid, gid_t gid) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
            ::_exit(255);
        }
        ::_exit(connect_unix(path) >= 0 ? 0 : errno);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostileInput, OnlyTheOwnerAndTheGroupMayWrite) {
    Trace trace;
    trace.run();
    struct stat status {};
    ASSERT_EQ(::lstat(trace.socket_path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, ::geteuid());
    if (::geteuid() != 0) {
        GTEST_SKIP() << "connecting as other users needs root";
    }
    const uid_t nobody = 65534;
    EXPECT_EQ(connect_as(trace.socket_path, nobody, nobody), EACCES);
    EXPECT_EQ(connect_as(trace.socket_path, nobody, status.st_gid), 0);  // the DNS server's group
}

// A thousand idle connections: at most 64 are kept, the oldest that never started making way
// for newer ones with one line per accept round, so a DNS server connecting later is served
// at once, and every query of the DNS server connected before arrives.
TEST(HostileInput, IdleFloodNeverLocksAServerOut) {
    test::LogCapture log;
    Trace trace;
    trace.run();
    Writer server(trace.socket_path);
    server.start();
    server.query(1);
    ASSERT_TRUE(trace.consumer.wait_for(1));

    const size_t descriptors = open_descriptors();
    std::vector<int> flood;
    uint16_t next_id = 2;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = connect_unix(trace.socket_path, true);
        if (fd < 0) {
            std::this_thread::sleep_for(1ms);  // EAGAIN: the backlog is full for a moment
            continue;
        }
        flood.push_back(fd);
        if (attempt % 100 == 0) {
            server.query(next_id++);
        }
    }
    size_t held = 0, displaced = 0;
    std::vector<std::string> lines;
    for (int wait = 0; wait < 100 && held + displaced < flood.size(); ++wait) {
        std::this_thread::sleep_for(50ms);  // until the last accept round is done
        held = open_descriptors() - descriptors - flood.size();
        displaced = 0;
        lines = log.lines();
        for (const std::string& line : lines) {
            unsigned count = 0;
            if (std::sscanf(line.c_str(), "ERROR - dnstap connections dropped: %u", &count) == 1) {
                EXPECT_EQ(line, "ERROR - dnstap connections dropped: " + std::to_string(count) +
                                    " without START, for newer ones beyond the limit of 64");
                displaced += count;
            } else {
                ADD_FAILURE() << line;
            }
        }
    }
    EXPECT_EQ(held, 63u);  // the DNS server has the 64th place
    EXPECT_EQ(displaced, flood.size() - held);
    pollfd oldest{flood.front(), POLLIN, 0};
    uint8_t byte = 0;
    EXPECT_EQ(::poll(&oldest, 1, 3000), 1);
    EXPECT_EQ(::recv(flood.front(), &byte, 1, 0), 0);  // displaced: closed
    Writer later(trace.socket_path);                   // served while the flood holds its places
    later.start();
    later.query(5000);
    ASSERT_TRUE(trace.consumer.wait_for(next_id));
    Bytes kept = started_query(4000);
    ASSERT_EQ(::send(flood.back(), kept.data(), kept.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(kept.size()));
    ASSERT_TRUE(trace.consumer.wait_for(next_id + 1u));
    server.query(next_id);
    ASSERT_TRUE(trace.consumer.wait_for(next_id + 2u));
    for (int fd : flood) {
        ::close(fd);
    }
    std::vector<uint16_t> expected = sequence(1, static_cast<uint16_t>(next_id - 1));
    expected.insert(expected.end(), {5000, 4000, next_id});
    EXPECT_EQ(trace.consumer.xids(), expected);
    std::printf("hostile: %zu idle connections, %zu displaced, %zu kept\n", flood.size(), displaced,
                held);
}

// Out of descriptors, accepting pauses a second at a time instead of spinning on the listener,
// the connected server goes on, and the waiting ones are taken once descriptors are back.
TEST(HostileInput, DescriptorExhaustionPausesAcceptingOnly) {
    test::LogCapture log;
    Trace trace;
    trace.run();
    Writer server(trace.socket_path);
    server.start();
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));  // before the limit
    }
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
    std::strncpy(address.sun_path, trace.socket_path.c_str(), sizeof address.sun_path - 1);
    for (int fd : waiting) {
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    for (uint16_t id = 1; id <= 30; ++id) {
        server.query(id);
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto starved = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - starved_from);
    ASSERT_TRUE(trace.consumer.wait_for(30));
    EXPECT_EQ(trace.consumer.xids(), sequence(1, 30));

    for (size_t i = 0; i < waiting.size(); ++i) {
        Bytes stream = started_query(static_cast<uint16_t>(100 + i));
        EXPECT_EQ(::send(waiting[i], stream.data(), stream.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(stream.size()));
    }
    ASSERT_TRUE(trace.consumer.wait_for(34));
    std::vector<uint16_t> ids = trace.consumer.xids();
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
