#include "collector/output_queue.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "support/file_descriptor_posix.hpp"

namespace tarn::collector {

namespace {

constexpr std::chrono::milliseconds first_backoff{250};
constexpr std::chrono::milliseconds longest_backoff{16000};

}  // namespace

struct OutputQueue::State {
    State(std::unique_ptr<Sink> sink, size_t limit) : sink(std::move(sink)), limit(limit) {}

    std::unique_ptr<Sink> sink;
    const size_t limit;
    std::mutex mutex;
    std::condition_variable wake;  // batches or closing for the thread, done for finish
    std::deque<Batch> batches;
    size_t bytes = 0;
    size_t items = 0;      // in batches
    size_t in_flight = 0;  // items of the batch being written
    uint64_t dropped = 0;
    bool opened = false;
    bool closing = false;
    bool done = false;  // the thread has ended, or was left behind
    std::string failure;
    std::chrono::steady_clock::time_point last_write;

    // Caller holds the mutex.
    void drop_all() {
        for (const Batch& batch : batches) {
            dropped += batch.count();
        }
        batches.clear();
        bytes = 0;
        items = 0;
    }

    // Opens the sink outside the lock; false after waiting out the back-off (or when closing).
    bool open_sink(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds& backoff) {
        lock.unlock();
        const bool ready = sink->open();
        lock.lock();
        opened = ready;
        if (opened) {
            backoff = first_backoff;
        } else if (!closing) {
            wake.wait_for(lock, backoff, [this] { return closing; });
            backoff = std::min(2 * backoff, longest_backoff);
        }
        return opened;
    }

    // The oldest batch, or for a gathering sink, once its time has come or enough waits,
    // everything queued as one.
    Batch take(std::unique_lock<std::mutex>& lock) {
        const std::chrono::milliseconds gather = sink->gather_time();
        if (gather.count() > 0) {
            wake.wait_until(lock, last_write + gather,
                            [this] { return closing || items >= sink->gather_items(); });
        }
        if (batches.empty()) {
            return {};  // dropped by a finish that gave up waiting
        }
        Batch batch = std::move(batches.front());
        batches.pop_front();
        if (gather.count() > 0 && !batches.empty()) {  // one allocation and one copy
            batch.bytes.reserve(bytes);
            batch.sizes.reserve(items);
        }
        while (gather.count() > 0 && !batches.empty()) {
            batch.bytes += batches.front().bytes;
            batch.sizes.insert(batch.sizes.end(), batches.front().sizes.begin(),
                               batches.front().sizes.end());
            batches.pop_front();
        }
        batch.sealed = batch.bytes.size();
        bytes = gather.count() > 0 ? 0 : bytes - batch.bytes.size();
        items = gather.count() > 0 ? 0 : items - batch.count();
        return batch;
    }

    // Writes the oldest batch outside the lock; false when that ended the output for good.
    bool write_front(std::unique_lock<std::mutex>& lock) {
        Batch batch = take(lock);
        if (batch.empty()) {
            return true;
        }
        in_flight = batch.count();
        last_write = std::chrono::steady_clock::now();
        lock.unlock();
        const bool written = sink->write(batch);
        lock.lock();
        in_flight = 0;
        if (written || done) {
            return true;
        }
        dropped += batch.count();
        opened = false;
        if (sink->reopens()) {
            return true;
        }
        failure = sink->error().empty() ? "write failed" : sink->error();
        return false;
    }
};

OutputQueue::OutputQueue(std::unique_ptr<Sink> sink, size_t limit_bytes)
    : state(std::make_shared<State>(std::move(sink), limit_bytes)) {
    thread = std::thread(run, state);
}

OutputQueue::~OutputQueue() {
    if (thread.joinable()) {
        finish(Clock::now());
    }
}

void OutputQueue::push(Batch& batch) {
    if (batch.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closing || state->done) {
        state->dropped += batch.count();
    } else {
        state->bytes += batch.bytes.size();
        state->items += batch.count();
        state->batches.push_back(std::move(batch));
        // The newest batch always stays, even when it alone is over the limit.
        while (state->bytes > state->limit && state->batches.size() > 1) {
            state->dropped += state->batches.front().count();
            state->bytes -= state->batches.front().bytes.size();
            state->items -= state->batches.front().count();
            state->batches.pop_front();
        }
        state->wake.notify_all();
    }
    batch = Batch{};
}

void OutputQueue::close() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->closing = true;
    state->wake.notify_all();
}

void OutputQueue::finish(Clock::time_point deadline) {
    close();
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->wake.wait_until(lock, deadline, [this] { return state->done; })) {
        lock.unlock();
        thread.join();
        return;
    }
    // Stuck in a write or a handshake: what it holds counts as lost, and so does the rest.
    state->dropped += state->in_flight;
    state->drop_all();
    state->done = true;
    lock.unlock();
    thread.detach();
}

uint64_t OutputQueue::dropped() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->dropped;
}

std::string OutputQueue::failure() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->failure;
}

void OutputQueue::run(const std::shared_ptr<State>& state) {
    State& s = *state;
    std::chrono::milliseconds backoff = first_backoff;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.done) {
        s.wake.wait(lock, [&s] { return !s.batches.empty() || s.closing; });
        if (s.batches.empty()) {
            break;  // closing, and everything written
        }
        if (!s.opened) {
            if (!s.open_sink(lock, backoff) && s.closing) {
                break;
            }
        } else if (!s.write_front(lock)) {
            break;
        }
    }
    if (s.done) {
        return;  // left behind by finish, which counted everything
    }
    if (s.opened) {
        lock.unlock();
        s.sink->close();
        lock.lock();
    }
    s.drop_all();
    s.done = true;
    s.wake.notify_all();
}

bool DescriptorSink::write(const Batch& batch) {
    if (!tarn::write_all(fd, batch.bytes.data(), batch.bytes.size())) {
        failure = errno != 0 ? std::strerror(errno) : "nothing written";
        return false;
    }
    return true;
}

}  // namespace tarn::collector
