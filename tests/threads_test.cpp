#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "error/error.hpp"
#include "support/threads.hpp"

namespace tarn {
namespace {

struct Primitives {
    Primitives() {
        mutex_create(&mutex);
        event_create(&event);
    }
    ~Primitives() {
        handle_close(event);
        handle_close(mutex);
    }
    // Runs event_wait on another thread and reports whether it returned within the limit.
    bool wait_returns_within(std::chrono::milliseconds limit) {
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            mutex_lock(mutex);
            event_wait(event, mutex);
            mutex_unlock(mutex);
            returned = true;
        });
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!returned && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        bool result = returned;
        if (!result) {
            event_signal(event);  // release the waiter so the thread can be joined
        }
        waiter.join();
        return result;
    }
    Mutex mutex = nullptr;
    Event event = nullptr;
};

TEST(Event, SignalBeforeWaitIsKeptAndConsumedOnce) {
    Primitives p;
    ASSERT_EQ(0, event_signal(p.event));
    ASSERT_EQ(0, event_signal(p.event));  // signals do not count up
    EXPECT_TRUE(p.wait_returns_within(std::chrono::seconds(5)));
    EXPECT_FALSE(p.wait_returns_within(std::chrono::milliseconds(200)));
}

TEST(Event, NoSignalIsLostUnderRacingSignallers) {
    // Each round: one signal raced against one wait; every wait must end.
    Primitives p;
    for (int round = 0; round < 2000; ++round) {
        std::thread signaller([&] { event_signal(p.event); });
        mutex_lock(p.mutex);
        ASSERT_EQ(0, event_wait(p.event, p.mutex));
        EXPECT_EQ(0, mutex_unlock(p.mutex));  // held again on return
        signaller.join();
    }
}

TEST(Mutex, OnlyTheOwnerMayRelease) {
    Mutex mutex = nullptr;
    ASSERT_EQ(0, mutex_create(&mutex));
    ASSERT_EQ(0, mutex_lock(mutex));
    int other_result = 0;
    std::thread other([&] { other_result = mutex_unlock(mutex); });
    other.join();
    EXPECT_EQ(-1, other_result);
    EXPECT_EQ(0, mutex_unlock(mutex));
    handle_close(mutex);
}

TEST(SystemErrorText, KnownUnknownAndZeroCodes) {
    std::string missing = error::system_error_text(2);
    std::string none = error::system_error_text(0);
#if defined(_WIN32)
    // Windows says "The system cannot find the file specified.", Wine "File not found.";
    // both keep the period and the CR LF.
    EXPECT_TRUE(missing == "The system cannot find the file specified.\r\n" ||
                missing == "File not found.\r\n")
        << missing;
#else
    EXPECT_EQ("No such file or directory", missing);
#endif
    EXPECT_NE(0u, none.rfind("Unknown error", 0)) << none;  // a real text, not the unknown one
    EXPECT_FALSE(none.empty());
    EXPECT_EQ("Unknown error -1", error::system_error_text(-1));
}

}  // namespace
}  // namespace tarn
