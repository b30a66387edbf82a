// The delivery thread against collectors, played by the test thread, that read, stall or reset.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

#include "log_capture.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"
#include "support/statistics.hpp"

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
             uint32_t timeout = 1, const SocketLayer& layer = SocketLayer{})
        : queue(size) {
        for (const Bytes& record : records) {
            queue.push(record.data(), static_cast<uint32_t>(record.size()));
        }
        for (uint16_t port : ports) {
            targets.push_back({"127.0.0.1", port, timeout});
        }
        processor.use_socket_layer(layer);
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

// The first target refuses: the fall-back has the records long before a back-off (10 s) would
// end, the version first, then one frame per record in order, and one pushed later.
TEST(SensorQueueProcessor, UnreachableFirstTargetFailsOverToVersionThenFramesInOrder) {
    test::Listener collector;
    uint16_t closed = test::unused_port();
    std::vector<Bytes> records = {record_of(53, 1), record_of(20000, 2), record_of(4096, 3),
                                  record_of(4097, 4)};  // beyond the first 4096-byte buffer
    Delivery delivery(1 << 20, records, {closed, collector.port});
    intptr_t connection = collector.accept(8);
    auto frames = test::read_frames(connection, 5, 8);
    records.push_back(record_of(77, 5));  // wakes the waiting thread
    delivery.queue.push(records.back().data(), 77);
    frames.push_back(test::read_frames(connection, 1, 10).at(0));
    EXPECT_TRUE(delivery.stops_promptly());
    records.insert(records.begin(), version);
    EXPECT_EQ(records, frames);
    EXPECT_TRUE(delivery.log.wait_for("Connected to 127.0.0.1:" + std::to_string(collector.port)));
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
    // The whole record must cross loopback within the time-out, on a machine busy with other
    // tests too: 3 s, not 1.
    Delivery delivery(80u << 20, {big, small}, {collector.port}, 3);
    intptr_t stalled = collector.accept(10), reset = collector.accept(30);
    Bytes cut = test::read_bytes(reset, 10 + 4 + 1000, 10);
    test::close_connection(reset, true);
    intptr_t reading = collector.accept(30);
    auto frames = test::read_frames(reading, 3, 30);
    EXPECT_TRUE(delivery.stops_promptly());
    ASSERT_EQ(1014u, cut.size());
    EXPECT_EQ(Bytes({0, 0, 0, 6, 1, '3', '.', '7', '.', '1', 2, 0, 0, 0}),
              Bytes(cut.begin(), cut.begin() + 14));
    std::string sizes;
    for (const Bytes& frame : frames) {
        sizes += " " + std::to_string(frame.size());
    }
    EXPECT_TRUE(frames == std::vector<Bytes>({version, big, small}))
        << "not resent whole, first; frame sizes:" << sizes;
    std::string where = "ERROR - Send data to 127.0.0.1:" + std::to_string(collector.port);
    EXPECT_TRUE(delivery.log.wait_for(where + " failed: select() timed out"));
    EXPECT_TRUE(delivery.log.wait_for(where + " failed: send() failed: ", true));
    test::close_connection(stalled);
    test::close_connection(reading);
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

// A socket layer with no network behind it, so that exactly what a socket took is known. The
// target's port picks the script; each connection keeps the bytes its socket took.
namespace scripted {

struct Script {
    uint32_t first_budget = UINT32_MAX;  // bytes the first connection takes before a reset
    size_t chunk = SIZE_MAX;             // bytes one send takes at most
    int pace_ms = 0;                     // between two sends that take bytes
    int fail_connect_ms = -1;            // the connect fails this late
    int fail_send_ms = -1;               // the first send fails this late
};
struct Connection {
    uint16_t port = 0;
    Script script;
    bool first = false;
    Bytes taken;
    std::chrono::steady_clock::time_point ready;
};

const int reset_code = 104;
std::mutex mutex;
std::map<uint16_t, Script> scripts;
std::vector<Connection> connections;  // by handle - 1
std::atomic<int> late_failures{0};

void set_script(uint16_t port, const Script& script) {
    std::lock_guard<std::mutex> lock(mutex);
    scripts[port] = script;
}
Connection& at(intptr_t handle) {
    return connections.at(static_cast<size_t>(handle - 1));
}
int fail_late(int milliseconds) {
    ++late_failures;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return reset_code;
}
int open(intptr_t& handle) {
    std::lock_guard<std::mutex> lock(mutex);
    connections.emplace_back();
    handle = static_cast<intptr_t>(connections.size());
    return 0;
}
int start_connect(intptr_t handle, const char*, uint16_t port) {
    std::unique_lock<std::mutex> lock(mutex);
    Connection& connection = at(handle);
    connection.first = std::none_of(connections.begin(), connections.end(),
                                    [port](const Connection& c) { return c.port == port; });
    connection.port = port;
    connection.script = scripts[port];
    const int late = connection.script.fail_connect_ms;
    lock.unlock();  // another connection's open may move this one
    return late >= 0 ? fail_late(late) : 0;
}
int no_error(intptr_t) {
    return 0;
}
int wait_writable(intptr_t handle, int milliseconds, int&) {
    std::unique_lock<std::mutex> lock(mutex);
    auto ready = at(handle).ready;
    lock.unlock();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::this_thread::sleep_until(std::min(ready, until));
    return std::chrono::steady_clock::now() >= ready ? 1 : 0;
}
int64_t send_some(intptr_t handle, const uint8_t* data, uint32_t length, int& code) {
    std::unique_lock<std::mutex> lock(mutex);
    Connection& connection = at(handle);
    if (const int late = connection.script.fail_send_ms; late >= 0) {
        lock.unlock();
        code = fail_late(late);
        return -1;
    }
    uint32_t budget = connection.first ? connection.script.first_budget : UINT32_MAX;
    size_t room = budget - std::min<size_t>(budget, connection.taken.size());
    auto now = std::chrono::steady_clock::now();
    if (room == 0) {
        code = reset_code;
        return -1;
    }
    if (now < connection.ready) {
        return 0;
    }
    size_t count = std::min({size_t{length}, room, connection.script.chunk});
    connection.taken.insert(connection.taken.end(), data, data + count);
    connection.ready = now + std::chrono::milliseconds(connection.script.pace_ms);
    return static_cast<int64_t>(count);
}
void close(intptr_t) {}

SocketLayer layer() {
    SocketLayer calls;
    calls.open = open;
    calls.set_non_blocking = no_error;
    calls.start_connect = start_connect;
    calls.pending_error = no_error;
    calls.wait_writable = wait_writable;
    calls.send_some = send_some;
    calls.close = close;
    return calls;
}

// What each connection to port took, in order.
std::vector<Bytes> taken(uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Bytes> result;
    for (const Connection& connection : connections) {
        if (connection.port == port) {
            result.push_back(connection.taken);
        }
    }
    return result;
}

// The whole frames at the start of a stream.
std::vector<Bytes> frames_of(const Bytes& stream) {
    std::vector<Bytes> frames;
    for (size_t at = 0, end; at + 4 <= stream.size(); at = end) {
        end = at + 4 + load_be32(stream.data() + at);
        if (end > stream.size()) {
            break;
        }
        frames.emplace_back(stream.begin() + static_cast<long>(at) + 4,
                            stream.begin() + static_cast<long>(end));
    }
    return frames;
}

}  // namespace scripted

// A batch cut at every kind of place: inside the version frame, at a frame's end, inside a
// prefix, inside a payload. The first connection's socket took exactly the budget; the next
// connection brings the version, then the cut frame whole, then the rest: nothing the socket
// took comes twice, nothing is lost. All cases share one 10 s back-off.
TEST(SensorQueueProcessor, CutBatchResendsTheCutFrameWholeFirstAndNothingTwice) {
    const std::vector<Bytes> records = {record_of(100, 1), record_of(3000, 2), record_of(17, 3),
                                        record_of(600, 4), record_of(9000, 5)};
    Bytes stream(10);
    wire::encode_version_frame(stream.data());
    std::vector<size_t> record_ends;  // where each record's frame ends in the stream
    for (const Bytes& record : records) {
        stream.insert(stream.end(), {0, 0, 0, 0});
        store_be32(stream.data() + stream.size() - 4, static_cast<uint32_t>(record.size()));
        stream.insert(stream.end(), record.begin(), record.end());
        record_ends.push_back(stream.size());
    }
    const uint32_t budgets[] = {0,    5,    10,   12,
                                64,   114,  3118, 3121,
                                3139, 3140, 3760, static_cast<uint32_t>(stream.size() - 1)};
    std::vector<std::unique_ptr<Delivery>> deliveries;
    for (uint16_t port = 1; port <= std::size(budgets); ++port) {
        scripted::set_script(port, {budgets[port - 1]});
        deliveries.push_back(std::make_unique<Delivery>(
            1 << 20, records, std::vector<uint16_t>{port}, 1, scripted::layer()));
    }
    for (uint16_t port = 1; port <= std::size(budgets); ++port) {
        const uint32_t budget = budgets[port - 1];
        SCOPED_TRACE("budget " + std::to_string(budget));
        // The first record whose frame the budget did not hold whole comes first.
        auto first =
            std::upper_bound(record_ends.begin(), record_ends.end(), budget) - record_ends.begin();
        std::vector<Bytes> expected = {version};
        expected.insert(expected.end(), records.begin() + first, records.end());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::vector<Bytes> frames;
        while (frames.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            auto taken = scripted::taken(port);
            frames = taken.size() < 2 ? frames : scripted::frames_of(taken[1]);
        }
        ASSERT_EQ(Bytes(stream.begin(), stream.begin() + budget), scripted::taken(port).at(0));
        EXPECT_EQ(expected, frames);
    }
}

// A connect or a send that fails for real while a stop is under way is still logged (and a send
// counted): only the stop's own interruption is no failure.
TEST(SensorQueueProcessor, FailureDuringAStopIsLoggedAndCounted) {
    struct Case {
        uint16_t port;
        int connect_ms, send_ms;
        const char* line;
    } cases[] = {
        {200, 400, -1, "ERROR - Connect to 127.0.0.1:200 failed: connect(127.0.0.1) failed: "},
        {201, -1, 400, "ERROR - Send data to 127.0.0.1:201 failed: send() failed: "}};
    for (const Case& c : cases) {
        scripted::set_script(c.port, {UINT32_MAX, SIZE_MAX, 0, c.connect_ms, c.send_ms});
        uint64_t failures = statistics().send_failures.get();
        int late = scripted::late_failures;
        auto delivery =
            std::make_unique<Delivery>(1 << 16, std::vector<Bytes>{record_of(10, 1)},
                                       std::vector<uint16_t>{c.port}, 1, scripted::layer());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (scripted::late_failures == late && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(delivery->stops_promptly());  // the call is under way: it fails after the stop
        EXPECT_TRUE(delivery->log.wait_for(c.line, true)) << c.line;
        EXPECT_EQ(failures + (c.send_ms >= 0 ? 1 : 0), statistics().send_failures.get());
    }
}

}  // namespace
}  // namespace tarn::sensor
