// The TCP connection and the queue processor against loopback servers scripted to accept,
// stall, reset or refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "log_capture.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/tcp_connection.hpp"

namespace tarn::sensor {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ConnectionPlan;
using test::LoopbackServer;
using Mode = ConnectionPlan::Mode;

const Bytes version_frame = {0x00, 0x00, 0x00, 0x06, 0x01, 0x33, 0x2E, 0x37, 0x2E, 0x31};

Bytes record_of(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed * 31 + i * 13 + (i >> 8));
    }
    bytes[0] = 2;
    return bytes;
}

config::Target target_at(uint16_t port, uint32_t timeout = 1) {
    config::Target target;
    target.ip = "127.0.0.1";
    target.port = port;
    target.timeout = timeout;
    return target;
}

std::vector<Bytes> frames_of(const Bytes& stream) {
    std::vector<Bytes> frames;
    EXPECT_TRUE(test::split_frames(stream, frames)) << "a cut or corrupted frame";
    return frames;
}

bool has_line(const test::LogCapture& log, const std::string& text, bool prefix_only = false) {
    for (const std::string& line : log.lines()) {
        if (prefix_only ? line.rfind(text, 0) == 0 : line == text) {
            return true;
        }
    }
    return false;
}
bool has_line_starting(const test::LogCapture& log, const std::string& prefix) {
    return has_line(log, prefix, true);
}

void push(SensorQueue& queue, const Bytes& record) {
    queue.push(record.data(), static_cast<uint32_t>(record.size()));
}

// Waits until connection `index` (0-based) has brought `count` whole frames.
bool wait_for_frames(LoopbackServer& server, size_t index, size_t count,
                     std::chrono::seconds limit) {
    return server.wait_for(
        [&](const std::vector<Bytes>& got) {
            std::vector<Bytes> frames;
            return got.size() > index && test::split_frames(got[index], frames) &&
                   frames.size() == count;
        },
        limit);
}

// Sends the chunk until a send fails, at most `tries` times; the failure text or "".
std::string send_until_failure(TcpConnection& connection, const Bytes& chunk, int tries,
                               std::chrono::milliseconds pause) {
    for (int i = 0; i < tries; ++i) {
        try {
            connection.send_all(chunk.data(), static_cast<uint32_t>(chunk.size()));
        } catch (const std::exception& error) {
            return error.what();
        }
        std::this_thread::sleep_for(pause);
    }
    return "";
}

template <typename Action>
std::chrono::milliseconds time_of(Action action) {
    auto begin = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin);
}

TEST(TcpConnection, ZeroBytesTouchNothingAndStalledPeerTimesOut) {
    TcpConnection connection;
    connection.send_all(nullptr, 0);  // no socket at all, and still no failure
    EXPECT_FALSE(connection.is_open());

    LoopbackServer server({{Mode::never_read}});
    connection.connect_to("127.0.0.1", server.port(), 1);
    EXPECT_TRUE(connection.is_open());
    // At most 256 MiB before it stalls.
    EXPECT_EQ(send_until_failure(connection, Bytes(1 << 20, 0x55), 256, 0ms), "select() timed out");
    connection.close();
    EXPECT_FALSE(connection.is_open());
}

TEST(TcpConnection, RefusedConnectAndResetPeerAreFailures) {
    TcpConnection connection;
    uint16_t closed_port = test::unused_port();
    try {
        connection.connect_to("127.0.0.1", closed_port, 1);
        ADD_FAILURE() << "connected to a port nobody listens on";
    } catch (const std::exception& error) {
        std::string text = error.what();
        EXPECT_TRUE(text.rfind("connect(127.0.0.1) failed: ", 0) == 0 ||
                    text == "select() timed out")
            << text;
    }

    LoopbackServer server({{Mode::reset_after, 1}});
    connection.connect_to("127.0.0.1", server.port(), 1);
    std::string failure = send_until_failure(connection, Bytes(64 * 1024, 0x11), 2000, 1ms);
    EXPECT_EQ(failure.rfind("send() failed: ", 0), 0u) << failure;
}

TEST(SensorQueueProcessor, VersionFirstThenOneFramePerMessageInOrder) {
    test::LogCapture log;
    LoopbackServer server;
    SensorQueue queue(1 << 20);
    std::vector<Bytes> sent = {record_of(53, 1), record_of(20000, 2), record_of(4096, 3),
                               record_of(4097, 4)};
    for (const Bytes& record : sent) {
        push(queue, record);
    }
    std::list<config::Target> targets = {target_at(server.port())};
    SensorQueueProcessor processor(queue, targets);
    processor.start();
    ASSERT_TRUE(wait_for_frames(server, 0, 5, 10s));
    sent.push_back(record_of(77, 5));
    push(queue, sent.back());  // wakes the waiting thread
    ASSERT_TRUE(wait_for_frames(server, 0, 6, 10s));
    EXPECT_LT(time_of([&] { processor.stop(); }), 3000ms);

    auto streams = server.received();
    ASSERT_EQ(streams.size(), 1u);
    ASSERT_TRUE(std::equal(version_frame.begin(), version_frame.end(), streams[0].begin()));
    auto frames = frames_of(streams[0]);
    ASSERT_EQ(frames.size(), sent.size() + 1);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(frames[i + 1], sent[i]) << "frame " << i + 1;
    }
    std::string where = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_TRUE(has_line(log, "Connecting to " + where));
    EXPECT_TRUE(has_line(log, "Connected to " + where));
}

TEST(SensorQueueProcessor, UnreachableFirstTargetFailsOverWithoutPause) {
    test::LogCapture log;
    LoopbackServer server;
    uint16_t closed_port = test::unused_port();
    SensorQueue queue(1 << 16);
    Bytes record = record_of(100, 7);
    push(queue, record);
    std::list<config::Target> targets = {target_at(closed_port), target_at(server.port())};
    SensorQueueProcessor processor(queue, targets);
    processor.start();
    // A back-off would hold the record for 10 s; the fall-back must have it long before.
    bool arrived = wait_for_frames(server, 0, 2, 8s);
    processor.stop();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(frames_of(server.received()[0])[1], record);
    EXPECT_TRUE(has_line_starting(
        log, "ERROR - Connect to 127.0.0.1:" + std::to_string(closed_port) + " failed: "));
    EXPECT_TRUE(has_line(log, "Connected to 127.0.0.1:" + std::to_string(server.port())));
}

// One run pays the back-off twice: a collector that stalls, one that resets mid-frame, then
// one that reads. The record caught in each failure arrives whole, once, on the third
// connection right after its VersionMessage, and nothing arrives cut or corrupted.
TEST(SensorQueueProcessor, StalledAndResetConnectionsResendThePendingRecordWhole) {
    test::LogCapture log;
    LoopbackServer server(
        {{Mode::never_read}, {Mode::reset_after, 10 + 4 + 1000}, {Mode::read_all}});
    SensorQueue queue(80u << 20);
    Bytes big = record_of(32u << 20, 9);  // more than loopback buffers hold
    Bytes small = record_of(60, 10);
    push(queue, big);
    push(queue, small);
    std::list<config::Target> targets = {target_at(server.port(), 1)};
    SensorQueueProcessor processor(queue, targets);
    processor.start();
    bool delivered = wait_for_frames(server, 2, 3, 60s);
    processor.stop();
    ASSERT_TRUE(delivered);

    auto streams = server.received();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_TRUE(streams[0].empty());  // that one never read
    for (const Bytes& stream : {streams[1], streams[2]}) {
        ASSERT_GE(stream.size(), version_frame.size());
        EXPECT_TRUE(std::equal(version_frame.begin(), version_frame.end(), stream.begin()));
    }
    auto frames = frames_of(streams[2]);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(frames[1] == big) << "the pending record was not resent whole";
    EXPECT_EQ(frames[2], small);
    std::string where = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_TRUE(has_line(log, "ERROR - Send data to " + where + " failed: select() timed out"));
    EXPECT_TRUE(
        has_line_starting(log, "ERROR - Send data to " + where + " failed: send() failed: "));
}

TEST(SensorQueueProcessor, StopIsPromptWhileWaitingAndDuringBackOff) {
    SensorQueue queue(1 << 16);
    {
        LoopbackServer server;
        std::list<config::Target> targets = {target_at(server.port())};
        SensorQueueProcessor processor(queue, targets);
        processor.start();
        ASSERT_TRUE(
            server.wait_for([](const std::vector<Bytes>& got) { return !got.empty(); }, 10s));
        std::this_thread::sleep_for(100ms);  // let it block on the empty queue
        EXPECT_LT(time_of([&] { processor.stop(); }), 3000ms);
    }
    {
        test::LogCapture log;
        std::list<config::Target> targets = {target_at(test::unused_port())};
        SensorQueueProcessor processor(queue, targets);
        processor.start();
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!has_line_starting(log, "ERROR - Connect to ") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(200ms);  // inside the back-off now
        EXPECT_LT(time_of([&] { processor.stop(); }), 3000ms);
    }
    {
        // No targets: only the back-off cycles, nothing is logged, the records stay queued.
        test::LogCapture log;
        Bytes record = record_of(40, 3);
        push(queue, record);
        std::list<config::Target> none;
        SensorQueueProcessor processor(queue, none);
        processor.start();
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(time_of([&] { processor.stop(); }), 3000ms);
        EXPECT_TRUE(log.lines().empty());
        Bytes out(100);
        ASSERT_EQ(queue.pop(out.data(), 100), 40);
        out.resize(40);
        EXPECT_EQ(out, record);
    }
}

}  // namespace
}  // namespace tarn::sensor
