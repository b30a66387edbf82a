#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "support/threads.hpp"

namespace tarn {

namespace {

enum class Kind { mutex, event, thread };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
};

struct MutexObject : Object {
    MutexObject() : Object(Kind::mutex) {}
    pthread_mutex_t lock;
};

struct EventObject : Object {
    EventObject() : Object(Kind::event) {}
    pthread_mutex_t lock;
    pthread_cond_t changed;
    bool set = false;
};

struct ThreadObject : Object {
    ThreadObject() : Object(Kind::thread) {}
    pthread_t id;
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
};

void* thread_trampoline(void* raw) {
    auto* thread = static_cast<ThreadObject*>(raw);
    thread->entry(thread->argument);
    return nullptr;
}

void release(Object* object) {
    switch (object->kind) {
        case Kind::mutex: {
            std::unique_ptr<MutexObject> mutex(static_cast<MutexObject*>(object));
            pthread_mutex_destroy(&mutex->lock);
            break;
        }
        case Kind::event: {
            std::unique_ptr<EventObject> event(static_cast<EventObject*>(object));
            pthread_cond_destroy(&event->changed);
            pthread_mutex_destroy(&event->lock);
            break;
        }
        case Kind::thread:
            std::unique_ptr<ThreadObject>(static_cast<ThreadObject*>(object)).reset();
            break;
    }
}

}  // namespace

int mutex_create(Mutex* mutex) {
    *mutex = nullptr;
    auto object = std::make_unique<MutexObject>();
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Owned like a Win32 mutex: only the holder may release it.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    int result = pthread_mutex_init(&object->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (result != 0) {
        return -1;
    }
    *mutex = object.release();
    return 0;
}

int mutex_lock(Mutex mutex) {
    if (mutex == nullptr) {
        return -1;
    }
    return pthread_mutex_lock(&static_cast<MutexObject*>(mutex)->lock) == 0 ? 0 : -1;
}

int mutex_unlock(Mutex mutex) {
    if (mutex == nullptr) {
        return -1;
    }
    return pthread_mutex_unlock(&static_cast<MutexObject*>(mutex)->lock) == 0 ? 0 : -1;
}

int event_create(Event* event) {
    *event = nullptr;
    auto object = std::make_unique<EventObject>();
    if (pthread_mutex_init(&object->lock, nullptr) != 0) {
        return -1;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    int result = pthread_cond_init(&object->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    if (result != 0) {
        pthread_mutex_destroy(&object->lock);
        return -1;
    }
    *event = object.release();
    return 0;
}

int event_signal(Event event) {
    if (event == nullptr) {
        return -1;
    }
    auto* object = static_cast<EventObject*>(event);
    pthread_mutex_lock(&object->lock);
    object->set = true;
    pthread_mutex_unlock(&object->lock);
    pthread_cond_signal(&object->changed);
    return 0;
}

int event_wait(Event event, Mutex mutex) {
    mutex_unlock(mutex);
    int result = -1;
    if (event != nullptr) {
        auto* object = static_cast<EventObject*>(event);
        pthread_mutex_lock(&object->lock);
        while (!object->set) {
            pthread_cond_wait(&object->changed, &object->lock);
        }
        object->set = false;  // auto-reset: this wait consumed the signal
        pthread_mutex_unlock(&object->lock);
        result = 0;
    }
    mutex_lock(mutex);
    return result;
}

int handle_close(void* handle) {
    if (handle == nullptr) {
        return -1;
    }
    release(static_cast<Object*>(handle));
    return 0;
}

int thread_start(Thread* thread, ThreadEntry entry, void* argument) {
    *thread = nullptr;
    auto object = std::make_unique<ThreadObject>();
    object->entry = entry;
    object->argument = argument;
    int result = pthread_create(&object->id, nullptr, thread_trampoline, object.get());
    if (result != 0) {
        return result;
    }
    *thread = object.release();
    return 0;
}

int thread_join(Thread thread) {
    if (thread == nullptr) {
        return -1;
    }
    auto* object = static_cast<ThreadObject*>(thread);
    if (pthread_join(object->id, nullptr) != 0) {
        return -1;
    }
    release(object);
    return 0;
}

uint32_t current_process_id() {
    return static_cast<uint32_t>(getpid());
}

void sleep_milliseconds(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

}  // namespace tarn
