#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "error/error.hpp"
#include "sensor/sensor_queue.hpp"

namespace tarn::sensor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes message_of(uint32_t length, uint8_t seed) {
    Bytes bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

void push(SensorQueue& queue, const Bytes& bytes) {
    queue.push(bytes.data(), bytes.size());
}

// Pops one entry; an empty result for an empty queue.
Bytes pop(SensorQueue& queue, uint32_t limit = 1 << 16) {
    Bytes out(limit);
    int32_t length = queue.pop(out.data(), limit);
    EXPECT_GE(length, 0);
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return out;
}

// Moves both positions to `position` in an empty ring by pushing and popping filler.
void advance_to(SensorQueue& queue, uint32_t position) {
    ASSERT_GE(position, 4u);
    push(queue, message_of(position - 4, 0xEE));
    ASSERT_EQ(pop(queue).size(), position - 4);
    ASSERT_EQ(queue.read_position(), position);
    ASSERT_EQ(queue.write_position(), position);
    ASSERT_FALSE(queue.is_wrapped());
}

TEST(SensorQueue, SecondPushWrapsAndDropsTheFirstEntry) {
    SensorQueue queue(16);
    Bytes five = message_of(5, 1), six = message_of(6, 2);
    push(queue, five);
    EXPECT_EQ(queue.write_position(), 9u);
    push(queue, six);
    EXPECT_EQ(queue.read_position(), 9u);
    EXPECT_EQ(queue.write_position(), 3u);
    EXPECT_TRUE(queue.is_wrapped());

    EXPECT_EQ(pop(queue), six);
    EXPECT_EQ(queue.read_position(), 3u);
    EXPECT_FALSE(queue.is_wrapped());
    uint8_t byte;
    EXPECT_EQ(queue.pop(&byte, 1), 0);
}

TEST(SensorQueue, LengthBytesAcrossTheEndAndTooSmallBuffer) {
    SensorQueue queue(16);
    advance_to(queue, 13);
    Bytes two = {0xAB, 0xCD};
    push(queue, two);
    EXPECT_EQ(queue.write_position(), 3u);
    EXPECT_TRUE(queue.is_wrapped());

    uint8_t one;
    EXPECT_EQ(queue.pop(&one, 1), -1);
    EXPECT_EQ(queue.read_position(), 13u);  // nothing taken
    EXPECT_EQ(pop(queue), two);
    EXPECT_EQ(queue.read_position(), 3u);
    EXPECT_FALSE(queue.is_wrapped());
}

// The 4 length bytes split 1+3, 2+2 and 3+1 around the end: pop must read them back, and
// drop_oldest must skip exactly that entry when room is needed.
TEST(SensorQueue, StraddlingLengthIsReadAndSkipped) {
    for (uint32_t before_end = 1; before_end <= 3; ++before_end) {
        SCOPED_TRACE("length bytes before the end: " + std::to_string(before_end));
        SensorQueue queue(32);
        advance_to(queue, 32 - before_end);
        Bytes straddling = message_of(5, 3);
        push(queue, straddling);
        EXPECT_EQ(pop(queue), straddling);
        EXPECT_EQ(queue.read_position(), 4 - before_end + straddling.size());

        SensorQueue dropping(32);
        advance_to(dropping, 32 - before_end);
        push(dropping, straddling);
        Bytes survivor = message_of(10, 9);
        push(dropping, survivor);
        // 9 + 14 bytes used of 32; a 16-byte entry forces out exactly the straddling one.
        Bytes big = message_of(12, 4);
        push(dropping, big);
        EXPECT_EQ(pop(dropping), survivor);
        EXPECT_EQ(pop(dropping), big);
        EXPECT_EQ(pop(dropping), Bytes{});
    }
}

TEST(SensorQueue, PayloadEndingAtTheEndLeavesReaderAtZero) {
    SensorQueue queue(16);
    advance_to(queue, 8);
    Bytes four = message_of(4, 5);
    push(queue, four);
    EXPECT_EQ(queue.write_position(), 0u);
    EXPECT_TRUE(queue.is_wrapped());
    EXPECT_EQ(pop(queue), four);
    EXPECT_EQ(queue.read_position(), 0u);
    EXPECT_FALSE(queue.is_wrapped());
    EXPECT_EQ(pop(queue), Bytes{});
}

TEST(SensorQueue, OverflowDropsOnlyAsManyWholeEntriesAsNeeded) {
    SensorQueue queue(40);
    Bytes a = message_of(4, 1), b = message_of(4, 2), c = message_of(4, 3), d = message_of(4, 4);
    for (const Bytes& m : {a, b, c, d}) {
        push(queue, m);  // 32 of 40 bytes
    }
    push(queue, message_of(12, 5));  // needs 16: only a goes
    EXPECT_EQ(pop(queue), b);
    push(queue, message_of(18, 6));  // 32 used, 22 needed: c and d go, the 12 stays
    EXPECT_EQ(pop(queue), message_of(12, 5));
    EXPECT_EQ(pop(queue), message_of(18, 6));
    EXPECT_EQ(pop(queue), Bytes{});
}

TEST(SensorQueue, ZeroLengthEntryIsRemovedLikeAnEmptyPop) {
    SensorQueue queue(16);
    push(queue, Bytes{});
    EXPECT_EQ(queue.write_position(), 4u);
    uint8_t byte;
    EXPECT_EQ(queue.pop(&byte, 1), 0);
    EXPECT_EQ(queue.read_position(), 4u);
    push(queue, Bytes{7});
    EXPECT_EQ(pop(queue), Bytes{7});
}

TEST(SensorQueue, EntriesThatCannotFitAreRefusedAndChangeNothing) {
    SensorQueue queue(16);
    Bytes kept = message_of(3, 8);
    push(queue, kept);
    for (uint32_t length : {13u, 14u, 15u, 16u, 17u}) {
        Bytes too_long = message_of(length, 1);
        try {
            queue.push(too_long.data(), length);
            ADD_FAILURE() << "accepted " << length << " bytes";
        } catch (const std::exception& failure) {
            EXPECT_EQ(failure.what(), "string length " + std::to_string(length) +
                                          "  is larger than the size of the queue 16");
        }
        EXPECT_EQ(queue.read_position(), 0u);
        EXPECT_EQ(queue.write_position(), 7u);
    }
    EXPECT_EQ(pop(queue), kept);
    // The largest payload fills the ring exactly.
    Bytes largest = message_of(12, 2);
    push(queue, largest);
    EXPECT_EQ(pop(queue), largest);
}

TEST(SensorQueue, RingsTooSmallForAnyPayload) {
    for (uint32_t size = 0; size <= 4; ++size) {
        SensorQueue queue(size);
        uint8_t byte = 1;
        EXPECT_THROW(queue.push(&byte, 1), std::exception) << size;
        EXPECT_EQ(queue.pop(&byte, 1), 0);
        if (size == 4) {
            queue.push(&byte, 0);  // a bare length fits
            EXPECT_EQ(queue.pop(&byte, 1), 0);
            EXPECT_EQ(queue.read_position(), 0u);
            EXPECT_FALSE(queue.is_wrapped());
        }
    }
}

// Against a model of the ring: random sizes, random interleaving, ring sizes that make the
// split fall everywhere. Every pop must return the oldest surviving message whole.
TEST(SensorQueue, MatchesModelUnderRandomTraffic) {
#if defined(_WIN32)
    constexpr int model_steps = 5000;  // kernel mutexes under Wine are slow
#else
    constexpr int model_steps = 20000;
#endif
    std::mt19937 random(12345);
    for (uint32_t capacity : {5u, 16u, 17u, 31u, 64u, 100u, 257u}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        SensorQueue queue(capacity);
        std::deque<Bytes> model;
        uint64_t used = 0;
        uint64_t dropped = 0;
        for (int step = 0; step < model_steps; ++step) {
            if (random() % 3 != 0) {
                uint32_t length = random() % (capacity - 3);
                Bytes m = message_of(length, static_cast<uint8_t>(step));
                push(queue, m);
                while (capacity - used < length + 4u) {
                    used -= model.front().size() + 4;
                    model.pop_front();
                    ++dropped;
                }
                model.push_back(m);
                ASSERT_EQ(queue.discarded_entries(), dropped) << "step " << step;
                used += length + 4;
            } else {
                Bytes got = pop(queue, capacity);
                if (model.empty()) {
                    ASSERT_TRUE(got.empty());
                } else {
                    ASSERT_EQ(got, model.front()) << "step " << step;
                    used -= model.front().size() + 4;
                    model.pop_front();
                }
            }
            ASSERT_LT(queue.read_position(), std::max(capacity, 1u));
            ASSERT_LT(queue.write_position(), std::max(capacity, 1u));
        }
    }
}

// A push that lands between the consumer's empty pop and its wait must still wake it.
TEST(SensorQueue, PushBeforeWaitIsNotLost) {
    SensorQueue queue(1024);
    constexpr int rounds = 2000;
    std::atomic<int> ready{-1};
    std::atomic<int> received{0};
    std::atomic<bool> abandon{false};
    std::thread consumer([&] {
        uint8_t buffer[16];
        for (int round = 0; round < rounds && !abandon; ++round) {
            ready = round;  // the queue is empty here; the producer pushes now
            queue.wait();
            while (queue.pop(buffer, sizeof buffer) > 0) {
                ++received;
            }
        }
    });
    auto wait_for = [](const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return condition();
    };
    uint8_t byte = 0;
    bool stalled = false;
    for (int round = 0; round < rounds && !stalled; ++round) {
        stalled = !wait_for([&] { return ready.load() == round; });
        if (!stalled) {
            queue.push(&byte, 1);
            stalled = !wait_for([&] { return received.load() > round; });
        }
    }
    abandon = true;
    event_signal(queue.data_event_handle());  // releases a consumer that missed its wake-up
    consumer.join();
    EXPECT_FALSE(stalled) << "the consumer missed a wake-up";
    EXPECT_EQ(received.load(), rounds);
}

TEST(SensorQueue, PushMessageUsesTheQueueAsContext) {
    SensorQueue queue(64);
    Bytes m = message_of(9, 3);
    EXPECT_EQ(push_message(m.data(), 9, &queue), 0);
    EXPECT_EQ(pop(queue), m);
}

}  // namespace
}  // namespace tarn::sensor
