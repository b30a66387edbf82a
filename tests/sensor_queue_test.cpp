// The ring: entries wrap around its end whole, the oldest make way, one that can never fit is a
// counted drop, and no wake-up is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "log_capture.hpp"
#include "sensor/sensor_queue.hpp"
#include "support/statistics.hpp"

namespace tarn::sensor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes message_of(uint32_t length, size_t seed) {
    Bytes bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed * 16 + i * 7 + 1);
    }
    return bytes;
}

Bytes pop(SensorQueue& queue, uint32_t size = 1 << 16) {
    Bytes out(size);
    int32_t length = queue.pop(out.data(), size);
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return length < 0 ? Bytes{0xEE} : out;
}

std::string ends(const SensorQueue& queue) {  // read and write position, and if wrapped
    return std::to_string(queue.read_position()) + " " + std::to_string(queue.write_position()) +
           (queue.is_wrapped() ? " wrapped" : "");
}

TEST(SensorQueue, EntriesWrapWholeAndTheOldestMakeWay) {
    struct Case {
        uint32_t capacity, start;  // both ends moved to start first
        std::vector<uint32_t> pushes;
        std::vector<size_t> survivors;
        std::string after_pushes, after_pops;
    } cases[] = {
        {16, 0, {5, 6}, {1}, "9 3 wrapped", "3 3"},  // the second push wraps, the first goes
        {16, 13, {2}, {0}, "13 3 wrapped", "3 3"},   // length bytes 3 + 1 around the end
        {32, 31, {5}, {0}, "31 8 wrapped", "8 8"},   // 1 + 3
        {32, 31, {5, 10, 12}, {1, 2}, "8 6 wrapped", "6 6"},  // a straddling length skipped
        {32, 29, {5, 10, 12}, {1, 2}, "6 4 wrapped", "4 4"},
        {16, 8, {4}, {0}, "8 0 wrapped", "0 0"},  // a payload that ends at the end
        {40, 0, {4, 4, 4, 4, 12}, {1, 2, 3, 4}, "8 8 wrapped", "8 8"},  // no more go than needed
        {40, 0, {4, 4, 4, 4, 12, 18}, {4, 5}, "32 30 wrapped", "30 30"},
        {16, 0, {0, 1}, {0, 1}, "0 9", "9 9"},      // an empty entry pops like nothing
        {16, 0, {12}, {0}, "0 0 wrapped", "0 0"}};  // the largest fills the ring exactly
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.capacity << " from " << c.start << ", "
                                        << testing::PrintToString(c.pushes));
        auto fill = [&c](SensorQueue& queue) {
            if (c.start > 0) {
                Bytes filler(c.start - 4);
                queue.push(filler.data(), c.start - 4);
                EXPECT_EQ(filler, pop(queue));
            }
            for (size_t i = 0; i < c.pushes.size(); ++i) {
                EXPECT_EQ(0, push_message(message_of(c.pushes[i], i).data(), c.pushes[i], &queue));
            }
        };
        // The same entries leave in one piece as wire frames: length, then message.
        SensorQueue framed(c.capacity);
        fill(framed);
        Bytes frames, out(c.capacity);
        for (size_t survivor : c.survivors) {
            Bytes message = message_of(c.pushes[survivor], survivor);
            frames.insert(frames.end(), {0, 0, 0, static_cast<uint8_t>(message.size())});
            frames.insert(frames.end(), message.begin(), message.end());
        }
        uint32_t first = 4 + c.pushes[c.survivors[0]];
        EXPECT_EQ(-1, framed.pop_frames(out.data(), first - 1));
        EXPECT_EQ(first, framed.pop_frames(out.data(), first + 3));  // whole entries only
        EXPECT_EQ(int64_t(frames.size() - first), framed.pop_frames(out.data() + first, 999));
        EXPECT_EQ(frames, Bytes(out.begin(), out.begin() + frames.size()));
        EXPECT_EQ(0, framed.pop_frames(out.data(), 999));
        EXPECT_EQ(c.after_pops, ends(framed));

        SensorQueue queue(c.capacity);
        fill(queue);
        EXPECT_EQ(c.pushes.size() - c.survivors.size(), queue.discarded_entries());
        EXPECT_EQ(c.after_pushes, ends(queue));
        for (size_t survivor : c.survivors) {
            if (c.pushes[survivor] > 0) {  // too small a buffer takes nothing
                EXPECT_EQ(Bytes{0xEE}, pop(queue, c.pushes[survivor] - 1));
            }
            EXPECT_EQ(message_of(c.pushes[survivor], survivor), pop(queue));
        }
        EXPECT_EQ(Bytes{}, pop(queue));
        EXPECT_EQ(c.after_pops, ends(queue));
    }
    // Too long with its 4 length bytes: the capture's push drops it, counted and said, and the
    // trace goes on; nothing changes, and the next record is held.
    SensorQueue queue(16);
    test::LogCapture log;
    const uint64_t drops = statistics().capture_drops.get();
    EXPECT_EQ(-1, push_message(message_of(13, 0).data(), 13, &queue));
    EXPECT_EQ(drops + 1, statistics().capture_drops.get());
    EXPECT_EQ(std::vector<std::string>{"ERROR - Record of 13 bytes dropped: the queue holds at "
                                       "most 12 (queue-size 16)"},
              log.lines());
    EXPECT_EQ("0 0", ends(queue));
    EXPECT_EQ(0, push_message(message_of(12, 1).data(), 12, &queue));
    EXPECT_EQ(message_of(12, 1), pop(queue));
}

// A push that lands between the consumer's empty pop and its wait must still wake it.
TEST(SensorQueue, PushBeforeWaitIsNotLost) {
    SensorQueue queue(1024);
    std::atomic<int> ready{-1}, received{0};
    std::atomic<bool> abandon{false};
    std::thread consumer([&] {
        uint8_t buffer[16];
        for (int round = 0; round < 2000 && !abandon; ++round) {
            ready = round;  // the queue is empty here; the producer pushes now
            queue.wait();
            while (queue.pop(buffer, sizeof buffer) > 0) {
                ++received;
            }
        }
    });
    auto within_5s = [](auto condition) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < end) {
            std::this_thread::yield();
        }
        return condition();
    };
    uint8_t byte = 0;
    for (int round = 0; round < 2000 && !abandon; ++round) {
        abandon = !within_5s([&] { return ready == round; }) ||
                  (queue.push(&byte, 1), !within_5s([&] { return received > round; }));
    }
    event_signal(queue.data_event_handle());  // releases a consumer that missed its wake-up
    consumer.join();
    EXPECT_EQ(2000, received.load()) << "the consumer missed a wake-up";
}

}  // namespace
}  // namespace tarn::sensor
