// The delivery thread against collectors, played by the test thread, that read, stall or reset.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "log_capture.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue_processor.hpp"

namespace tarn::sensor {
namespace {

using test::Bytes;
const Bytes version = {0x01, '3', '.', '7', '.', '1'};

Bytes record_of(size_t length, int seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed * 31 + i * 13 + (i >> 8));
    }
    return bytes;
}

// A processor on the queue, the records pushed first, with these targets (1 s time-out each).
struct Delivery {
    Delivery(uint32_t size, const std::vector<Bytes>& records, std::vector<uint16_t> ports,
             uint32_t timeout = 1)
        : queue(size) {
        for (const Bytes& record : records) {
            queue.push(record.data(), static_cast<uint32_t>(record.size()));
        }
        for (uint16_t port : ports) {
            targets.push_back({"127.0.0.1", port, timeout});
        }
        processor.start();
    }
    ~Delivery() { processor.stop(); }
    bool stops_promptly() {
        auto begin = std::chrono::steady_clock::now();
        processor.stop();
        return std::chrono::steady_clock::now() - begin < std::chrono::seconds(5);
    }
    test::LogCapture log;
    SensorQueue queue;
    std::list<config::Target> targets;
    SensorQueueProcessor processor{queue, targets};
};

TEST(SensorQueueProcessor, VersionFirstThenOneFramePerRecordInOrder) {
    test::Listener collector;
    std::vector<Bytes> records = {record_of(53, 1), record_of(20000, 2), record_of(4096, 3),
                                  record_of(4097, 4)};  // beyond the first 4096-byte buffer
    Delivery delivery(1 << 20, records, {collector.port});
    intptr_t connection = collector.accept(10);
    auto frames = test::read_frames(connection, 5, 10);
    records.push_back(record_of(77, 5));  // wakes the waiting thread
    delivery.queue.push(records.back().data(), 77);
    frames.push_back(test::read_frames(connection, 1, 10).at(0));
    EXPECT_TRUE(delivery.stops_promptly());
    records.insert(records.begin(), version);
    EXPECT_EQ(records, frames);
    EXPECT_TRUE(delivery.log.wait_for("Connected to 127.0.0.1:" + std::to_string(collector.port)));
    test::close_connection(connection);
}

TEST(SensorQueueProcessor, UnreachableFirstTargetFailsOverWithoutPause) {
    test::Listener collector;
    uint16_t closed = test::unused_port();
    Bytes record = record_of(100, 7);
    Delivery delivery(1 << 16, {record}, {closed, collector.port});
    // A back-off would hold the record for 10 s; the fall-back has it long before.
    intptr_t connection = collector.accept(8);
    EXPECT_EQ((std::vector<Bytes>{version, record}), test::read_frames(connection, 2, 8));
    std::string refused = "ERROR - Connect to 127.0.0.1:" + std::to_string(closed) + " failed: ";
#if !defined(_WIN32)  // Winsock's select never reports a refused connection: a time-out there
    refused += "connect(127.0.0.1) failed: ";
#endif
    EXPECT_TRUE(delivery.log.wait_for(refused, true));
    test::close_connection(connection);
}

// One run pays the back-off twice: a collector that stalls, one that resets mid-frame, then
// one that reads. The record caught in each failure arrives whole on the third connection,
// first after its VersionMessage.
TEST(SensorQueueProcessor, StalledAndResetConnectionsResendThePendingRecordWhole) {
    test::Listener collector;
    Bytes big = record_of(32u << 20, 9), small = record_of(60, 10);  // more than buffers hold
    Delivery delivery(80u << 20, {big, small}, {collector.port});
    intptr_t stalled = collector.accept(10), reset = collector.accept(30);
    Bytes cut = test::read_bytes(reset, 10 + 4 + 1000, 10);
    test::close_connection(reset, true);
    intptr_t reading = collector.accept(30);
    auto frames = test::read_frames(reading, 3, 30);
    EXPECT_TRUE(delivery.stops_promptly());
    ASSERT_EQ(1014u, cut.size());
    EXPECT_EQ(Bytes({0, 0, 0, 6, 1, '3', '.', '7', '.', '1', 2, 0, 0, 0}),
              Bytes(cut.begin(), cut.begin() + 14));
    EXPECT_TRUE(frames == std::vector<Bytes>({version, big, small})) << "not resent whole, first";
    std::string where = "ERROR - Send data to 127.0.0.1:" + std::to_string(collector.port);
    EXPECT_TRUE(delivery.log.wait_for(where + " failed: select() timed out"));
    EXPECT_TRUE(delivery.log.wait_for(where + " failed: send() failed: ", true));
    test::close_connection(stalled);
    test::close_connection(reading);
}

// Many records go out as one batch; a reset in the middle of it costs only what the socket had
// taken: the frame the failed send cut comes first on the next connection, whole, then the
// rest, and no frame comes twice.
TEST(SensorQueueProcessor, ResetInsideABatchResendsTheCutFrameFirstAndNothingTwice) {
    test::Listener collector;
    std::vector<Bytes> records;
    for (int i = 0; i < 4000; ++i) {
        records.push_back(record_of(6000 + i, i));  // 32 MB: far more than the sockets hold
    }
    Delivery delivery(64u << 20, records, {collector.port});
    intptr_t first = collector.accept(10);
    auto before = test::read_frames(first, 101, 10);  // the version and 100 records
    test::close_connection(first, true);
    intptr_t second = collector.accept(30);
    auto after = test::read_frames(second, 2, 30);
    ASSERT_EQ(2u, after.size());
    auto resumed = std::find(records.begin(), records.end(), after[1]);
    ASSERT_NE(records.end(), resumed) << "the first frame after the version is not whole";
    size_t next = static_cast<size_t>(resumed - records.begin());
    EXPECT_GE(next, 100u) << "a frame the collector had whole came again";
    auto rest = test::read_frames(second, records.size() - next - 1, 30);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), records.begin() + next + 1, records.end()));
    EXPECT_EQ(records.size() - next - 1, rest.size());
    EXPECT_EQ(version, after[0]);
    EXPECT_TRUE(delivery.stops_promptly());
    test::close_connection(second);
}

// A collector that reads on, but far slower than the record needs, cannot hold a send for ever:
// the time-out counts from the start of the send, not from the last bytes the socket took.
TEST(SensorQueueProcessor, SlowReaderTimesTheSendOutFromItsStart) {
    test::Listener collector;
    Delivery delivery(80u << 20, {record_of(64u << 20, 3)}, {collector.port}, 2);
    intptr_t slow = collector.accept(10);
    const auto begin = std::chrono::steady_clock::now();
    const std::string failed = "ERROR - Send data to 127.0.0.1:" + std::to_string(collector.port) +
                               " failed: select() timed out";
    auto logged = [&] {
        std::vector<std::string> lines = delivery.log.lines();
        return std::find(lines.begin(), lines.end(), failed) != lines.end();
    };
    // 1 MiB every 100 ms: enough at a time for the socket to take more (a few bytes would not
    // wake a sender), so the send moves on well inside every 2 s wait, yet the record needs 6 s.
    while (!logged() && std::chrono::steady_clock::now() - begin < std::chrono::seconds(20)) {
        test::read_bytes(slow, 1u << 20, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(logged());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(9))
        << "the wait restarted after a partial send";
    EXPECT_TRUE(delivery.stops_promptly()) << "stop while the slow collector reads";
    test::close_connection(slow);
}

// Whatever the thread waits on, a stop ends it at once, even with a time-out of -1
// (4294967295 s): a connect that gets no answer, a send to a collector that never reads, the
// back-off.
TEST(SensorQueueProcessor, StopEndsEveryWaitWhateverTheTimeOut) {
    test::Listener stalled;
    Delivery sending(8u << 20, {record_of(6u << 20, 1)}, {stalled.port}, 0xFFFFFFFF);
    intptr_t connection = stalled.accept(10);
    EXPECT_TRUE(sending.log.wait_for("Connected to 127.0.0.1:", true));
    EXPECT_TRUE(sending.stops_promptly()) << "stop during a stalled send";
    test::close_connection(connection);

    Delivery backing_off(1024, {record_of(10, 2)}, {test::unused_port()}, 0xFFFFFFFF);
#if defined(_WIN32)  // Winsock's select never reports the refusal: the connect waits on
    EXPECT_TRUE(backing_off.log.wait_for("Connecting to ", true));
#else
    EXPECT_TRUE(backing_off.log.wait_for("ERROR - Connect to ", true));
#endif
    EXPECT_TRUE(backing_off.stops_promptly()) << "stop during the back-off (Windows: the connect)";

#if !defined(_WIN32)
    // A listener whose backlog is full drops further connection requests: the connect gets no
    // answer (Winsock refuses them instead, which the back-off case covers).
    int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(full, reinterpret_cast<sockaddr*>(&address), length));
    ASSERT_EQ(0, ::listen(full, 0));
    ::getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(waiting.back(), reinterpret_cast<sockaddr*>(&address), length);
    }
    Delivery connecting(1024, {}, {ntohs(address.sin_port)}, 0xFFFFFFFF);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (const std::string& line : connecting.log.lines()) {
        EXPECT_NE(0u, line.rfind("Connected to ", 0)) << "the backlog was free";
    }
    EXPECT_TRUE(connecting.stops_promptly()) << "stop during a connect";
    for (int fd : waiting) {
        ::close(fd);
    }
    ::close(full);
#endif
}

}  // namespace
}  // namespace tarn::sensor
