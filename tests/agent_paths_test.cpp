#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"

namespace tarn {
namespace {

TEST(DirectoryPart, EverythingBeforeTheLastSeparator) {
    EXPECT_EQ("C:\\agent\\bin", directory_part("C:\\agent\\bin\\agent.exe", '\\'));
    EXPECT_EQ("C:", directory_part("C:\\agent.exe", '\\'));
    EXPECT_EQ("\\\\server\\share", directory_part("\\\\server\\share\\agent.exe", '\\'));
    EXPECT_EQ("dir", directory_part("dir\\", '\\'));
    EXPECT_EQ("", directory_part("\\agent.exe", '\\'));
    // Only the given separator counts.
    EXPECT_EQ(".", directory_part("C:/agent/bin/agent.exe", '\\'));
    EXPECT_EQ("C:\\a/b", directory_part("C:\\a/b\\agent.exe", '\\'));
    EXPECT_EQ("/opt/sabrel-agent", directory_part("/opt/sabrel-agent/agent", '/'));
    EXPECT_EQ(".", directory_part("agent.exe", '\\'));
    EXPECT_EQ(".", directory_part("", '\\'));
}

TEST(ExecutableDirectory, NamesTheDirectoryOfTheRunningBinary) {
    std::string directory = executable_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE('/', directory.back());
    EXPECT_NE('\\', directory.back());
#if defined(_WIN32)
    const char* name = "tarn_tests.exe";
#else
    const char* name = "tarn_tests";
    EXPECT_EQ(std::filesystem::canonical("/proc/self/exe").parent_path().string(), directory);
#endif
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(directory) / name)) << directory;
    // Computed afresh each time, and the same each time.
    EXPECT_EQ(directory, executable_directory());
}

TEST(StopPrimitives, StopSignalledBeforeTheRunStartsIsHeld) {
    create_stop_primitives();
    Event event = stop_event;
    Mutex mutex = run_mutex;
    ASSERT_NE(nullptr, event);
    ASSERT_NE(nullptr, mutex);

    // A stop from a control handler before the run sequence begins...
    ASSERT_EQ(0, event_signal(stop_event));
    // ...survives the run sequence's own call, which must not replace the event.
    create_stop_primitives();
    EXPECT_EQ(event, stop_event);
    EXPECT_EQ(mutex, run_mutex);

    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        mutex_lock(run_mutex);
        event_wait(stop_event, run_mutex);
        mutex_unlock(run_mutex);
        returned = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!returned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool held = returned;
    if (!held) {
        event_signal(stop_event);
    }
    waiter.join();
    EXPECT_TRUE(held) << "the stop signalled before the wait was lost";
}

}  // namespace
}  // namespace tarn
