#include <windows.h>

#include <memory>

#include "support/threads.hpp"

namespace tarn {

namespace {
struct ThreadStart {
    ThreadEntry entry;
    void* argument;
};

DWORD WINAPI thread_trampoline(LPVOID raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    return start->entry(start->argument);
}
}  // namespace

int mutex_create(Mutex* mutex) {
    *mutex = CreateMutexA(nullptr, FALSE, nullptr);
    return *mutex != nullptr ? 0 : -1;
}

int mutex_lock(Mutex mutex) {
    return WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}

int mutex_unlock(Mutex mutex) {
    return ReleaseMutex(mutex) ? 0 : -1;
}

int event_create(Event* event) {
    *event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return *event != nullptr ? 0 : -1;
}

int event_signal(Event event) {
    return SetEvent(event) ? 0 : -1;
}

int event_wait(Event event, Mutex mutex) {
    ReleaseMutex(mutex);
    DWORD result = WaitForSingleObject(event, INFINITE);
    WaitForSingleObject(mutex, INFINITE);
    return result == WAIT_OBJECT_0 ? 0 : -1;
}

int handle_close(void* handle) {
    return CloseHandle(handle) ? 0 : -1;
}

int thread_start(Thread* thread, ThreadEntry entry, void* argument) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{entry, argument});
    *thread = CreateThread(nullptr, 0, thread_trampoline, start.get(), 0, nullptr);
    if (*thread == nullptr) {
        return static_cast<int>(GetLastError());
    }
    start.release();  // the new thread owns it now
    return 0;
}

int thread_join(Thread thread) {
    if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) {
        return -1;
    }
    CloseHandle(thread);
    return 0;
}

uint32_t current_process_id() {
    return GetCurrentProcessId();
}

void sleep_milliseconds(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace tarn
