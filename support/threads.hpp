#pragma once

#include <atomic>
#include <cstdint>

// Thin layer over the system's threads, mutexes and auto-reset events. Results are 0 or -1
// (thread_start: 0 or the system error code); nothing here throws or logs.
namespace tarn {

using Mutex = void*;
using Event = void*;
using Thread = void*;
using ThreadEntry = uint32_t (*)(void* argument);

int mutex_create(Mutex* mutex);
int mutex_lock(Mutex mutex);
int mutex_unlock(Mutex mutex);

// Auto-reset latch: a signal given while nobody waits stays pending for the next wait.
int event_create(Event* event);
int event_signal(Event event);
// Called with mutex held; releases it while blocked and holds it again on return.
int event_wait(Event event, Mutex mutex);

int handle_close(void* handle);

// On failure the thread stays null and the result is the system error code.
int thread_start(Thread* thread, ThreadEntry entry, void* argument);
// Waits for the end of the thread and releases its handle.
int thread_join(Thread thread);

// Starts entry on thread unless it already runs, with stop cleared first: 0, or the system
// error code with thread left null.
inline int start_once(Thread& thread, std::atomic<bool>& stop, ThreadEntry entry, void* argument) {
    if (thread != nullptr) {
        return 0;
    }
    stop = false;
    int code = thread_start(&thread, entry, argument);
    if (code != 0) {
        thread = nullptr;
    }
    return code;
}

uint32_t current_process_id();
void sleep_milliseconds(uint32_t milliseconds);

}  // namespace tarn
