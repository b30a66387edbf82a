// Runtime support: events and the stop primitives, the log line, and short copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "agent/run_agent.hpp"
#include "log_capture.hpp"
#include "support/log.hpp"
#include "support/report_bound.hpp"
#include "support/small_bytes.hpp"

namespace tarn {
namespace {

// The run sequence's stop wait on another thread: whether it returned, holding the mutex again.
bool stop_wait_returns_within(std::chrono::milliseconds limit) {
    auto waiter = std::async(std::launch::async, [] {
        mutex_lock(run_mutex);
        event_wait(stop_event, run_mutex);
        return mutex_unlock(run_mutex) == 0;
    });
    bool returned = waiter.wait_for(limit) == std::future_status::ready;
    if (!returned) {
        event_signal(stop_event);  // releases the waiter so that it can end
    }
    return waiter.get() && returned;
}

TEST(Event, StopSignalledBeforeTheWaitIsKeptAndConsumedOnce) {
    // A control handler stops twice before the run sequence, whose own call keeps the event.
    create_stop_primitives();
    Event event = stop_event;
    ASSERT_EQ(0, event_signal(stop_event));
    ASSERT_EQ(0, event_signal(stop_event));
    create_stop_primitives();
    EXPECT_EQ(event, stop_event);
    EXPECT_TRUE(stop_wait_returns_within(std::chrono::seconds(5))) << "the early stop was lost";
    EXPECT_FALSE(stop_wait_returns_within(std::chrono::milliseconds(200))) << "signals counted";
}

// "%Y-%m-%dT%H:%M:%SZ [pid]: message" in UTC, one whole line per call from any thread.
TEST(Log, LinesAreWholeUtcStampedAndTagged) {
#if !defined(_WIN32)
    setenv("TZ", "XST-5:30", 1);  // local time far from UTC
    tzset();
#endif
    test::LogCapture log;
    auto utc_now = [] {
        char stamp[32];
        std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
        return std::string(stamp);
    };
    const std::string first = utc_now();
    std::vector<std::thread> threads;
    for (char letter : {'a', 'b', 'c', 'd'}) {
        threads.emplace_back([letter] {
            for (int i = 0; i < 100; ++i) {
                // Around the length the log formats in place, and beyond it.
                log_message("%c%03d %s", letter, i, std::string(960 + i % 60, letter).c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string last = utc_now();
#if !defined(_WIN32)
    unsetenv("TZ");
    tzset();
#endif
    std::regex shape(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) \[(\d+)\]: ([a-d])(\d{3}) (.*)\r?)");
    std::istringstream text(log.text());
    std::vector<int> next(4);
    for (std::string line; std::getline(text, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 80);
        EXPECT_TRUE(m[1] >= first && m[1] <= last) << m[1];
        EXPECT_EQ(std::to_string(current_process_id()), m[2].str());
        int i = std::stoi(m[4]);
        EXPECT_EQ(next[m[3].str()[0] - 'a']++, i);
        EXPECT_EQ(std::string(960 + i % 60, m[3].str()[0]), m[5].str());
    }
    EXPECT_EQ(std::vector<int>(4, 100), next);
}

// Three lines a minute reach the system log; the lines held back are said once, before the next
// line that goes through or when asked for, and never counted twice.
TEST(ReportBound, ThreeAMinuteAndTheRestCountedOnce) {
    ReportBound bound(3, 60);
    // now, whether it goes, left out said with it; take: the count taken after the step
    const struct {
        uint64_t now;
        bool admitted;
        uint64_t left_out;
        bool take;
        uint64_t taken;
    } steps[] = {{100, true, 0, false, 0},  {101, true, 0, false, 0},  {159, true, 0, false, 0},
                 {159, false, 0, false, 0}, {159, false, 0, false, 0}, {160, true, 2, false, 0},
                 {161, true, 0, false, 0},  {162, true, 0, false, 0},  {163, false, 0, true, 1},
                 {164, false, 0, true, 1},  {219, false, 0, false, 0}, {220, true, 1, true, 0},
                 {5000, true, 0, false, 0}};
    for (const auto& step : steps) {
        uint64_t left_out = 99;
        EXPECT_EQ(step.admitted, bound.admit(step.now, left_out)) << step.now;
        EXPECT_EQ(step.left_out, left_out) << step.now;
        if (step.take) {
            EXPECT_EQ(step.taken, bound.take_left_out()) << step.now;
        }
    }
}

// Every length the word-pair paths split at, against the library's own copy and comparison:
// a copy touches exactly its bytes, and a difference in any one byte is seen.
TEST(SmallBytes, EveryLengthCopiesAndComparesExactlyItsBytes) {
    uint8_t from[48];
    for (size_t i = 0; i < sizeof from; ++i) {
        from[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    for (size_t count = 0; count <= 40; ++count) {
        uint8_t to[48];
        std::memset(to, 0xEE, sizeof to);
        copy_bytes(to + 1, from, count);
        uint8_t expected[48];
        std::memset(expected, 0xEE, sizeof expected);
        std::memcpy(expected + 1, from, count);
        EXPECT_EQ(0, std::memcmp(to, expected, sizeof to)) << count;
        EXPECT_TRUE(same_bytes(to + 1, from, count)) << count;
        for (size_t at = 0; at < count; ++at) {
            to[1 + at] ^= 0x10;
            EXPECT_FALSE(same_bytes(to + 1, from, count)) << count << " at " << at;
            to[1 + at] ^= 0x10;
        }
    }
}

}  // namespace
}  // namespace tarn
