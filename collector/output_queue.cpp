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
constexpr size_t smallest_chunk = 4096;
constexpr size_t largest_chunk = 1 << 20;

}  // namespace

struct OutputQueue::State {
    State(std::unique_ptr<Sink> sink, size_t limit)
        : sink(std::move(sink)),
          limit(limit),
          chunk_bytes(std::clamp(limit / 16, smallest_chunk, largest_chunk)),
          gather(this->sink->gather_time()) {}

    std::unique_ptr<Sink> sink;
    const size_t limit;
    const size_t chunk_bytes;
    const std::chrono::milliseconds gather;
    std::mutex mutex;
    std::condition_variable wake;  // batches or closing for the thread, done for finish
    std::deque<Batch> batches;     // chunks; only the newest takes more items
    std::vector<Batch> writing;    // the thread's, while it writes
    std::vector<Batch> spare;      // written chunks, kept for new items
    size_t bytes = 0;
    size_t items = 0;      // in batches
    size_t in_flight = 0;  // items being written
    uint64_t dropped = 0;
    bool opened = false;
    bool closing = false;
    bool done = false;  // the thread has ended, or was left behind
    std::string failure;
    std::chrono::steady_clock::time_point last_write;

    // Caller holds the mutex. Whole items, chunks filled to the brim (an item larger than a
    // chunk has one of its own); a batch of half a chunk or more becomes a chunk itself when
    // taken and a spare chunk can take its place in the caller's hands (else the caller's
    // memory, grown to its batches, stays with it); taken is the batch when the caller gives it
    // up. The batch always stays whole, even when it alone is over the limit: the items dropped
    // are older ones.
    void append(const Batch& batch, Batch* taken) {
        const size_t added = batch.bytes.size(), count = batch.count();
        size_t older = 0;  // chunks before the one that takes the batch's first item
        if (taken != nullptr && added >= chunk_bytes / 2 && !spare.empty()) {
            older = batches.size();
            batches.emplace_back(std::move(*taken));
            batches.back().sealed = added;
            *taken = std::move(spare.back());
            spare.pop_back();
        } else {
            older = copy(batch);
        }
        bytes += added;
        items += count;
        for (size_t gone = 0; bytes > limit && gone < older; ++gone) {
            dropped += batches.front().count();
            Batch chunk = take_oldest();
            recycle(chunk);
        }
    }

    // Caller holds the mutex.
    Batch take_oldest() {
        Batch chunk = std::move(batches.front());
        batches.pop_front();
        bytes -= chunk.bytes.size();
        items -= chunk.count();
        return chunk;
    }

    // Caller holds the mutex. Returns the number of chunks before the one that took the first
    // item.
    size_t copy(const Batch& batch) {
        size_t older = 0;
        size_t offset = 0;
        for (size_t item = 0, end; item < batch.count(); item = end) {
            Batch& chunk = batches.empty() ? new_chunk() : batches.back();
            size_t length = 0;
            for (end = item; end < batch.count(); ++end) {
                const size_t size = batch.sizes[end];
                if (chunk.bytes.size() + length + size > chunk_bytes &&
                    !(chunk.bytes.empty() && end == item)) {
                    break;
                }
                length += size;
            }
            if (end == item) {
                new_chunk();
                continue;
            }
            if (item == 0) {
                older = batches.size() - 1;
            }
            chunk.bytes.append(batch.bytes, offset, length);
            chunk.sizes.insert(chunk.sizes.end(), batch.sizes.begin() + item,
                               batch.sizes.begin() + end);
            chunk.sealed = chunk.bytes.size();
            offset += length;
        }
        return older;
    }

    // Caller holds the mutex.
    Batch& new_chunk() {
        batches.emplace_back();
        if (!spare.empty()) {
            batches.back() = std::move(spare.back());
            spare.pop_back();
        }
        batches.back().bytes.reserve(chunk_bytes);
        return batches.back();
    }

    // Caller holds the mutex. Chunks are kept up to the limit: memory the output may hold
    // anyway, and a burst after a burst touches no new pages.
    void recycle(Batch& chunk) {
        if (spare.size() < limit / chunk_bytes) {
            chunk.clear();
            spare.push_back(std::move(chunk));
        }
    }

    // Caller holds the mutex.
    void drop_all() {
        for (const Batch& batch : batches) {
            dropped += batch.count();
        }
        batches.clear();
        bytes = 0;
        items = 0;
    }

    // Whether a gathering sink's batch goes before its time.
    bool due() const { return closing || (!batches.empty() && items >= sink->gather_items()); }

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

    // The oldest chunk into writing, or for a gathering sink, once its time has come or enough
    // waits, every chunk.
    void take(std::unique_lock<std::mutex>& lock) {
        if (gather.count() > 0) {
            wake.wait_until(lock, last_write + gather, [this] { return due(); });
        }
        do {
            if (!batches.empty()) {
                writing.push_back(take_oldest());
            }
        } while (gather.count() > 0 && !batches.empty());
    }

    // Writes what take chose outside the lock; false when that ended the output for good.
    bool write_front(std::unique_lock<std::mutex>& lock) {
        take(lock);
        if (writing.empty()) {
            return true;  // dropped by a finish that gave up waiting
        }
        in_flight = 0;
        for (const Batch& batch : writing) {
            in_flight += batch.count();
        }
        last_write = std::chrono::steady_clock::now();
        lock.unlock();
        const bool written =
            gather.count() > 0 ? sink->write_gathered(writing) : sink->write(writing.front());
        lock.lock();
        const size_t lost = written || done ? 0 : in_flight;
        in_flight = 0;
        for (Batch& batch : writing) {
            recycle(batch);
        }
        writing.clear();
        if (lost == 0) {
            return true;
        }
        dropped += lost;
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
    add(batch, &batch);
    batch.clear();
}

void OutputQueue::push_copy(const Batch& batch) {
    add(batch, nullptr);
}

void OutputQueue::add(const Batch& batch, Batch* taken) {
    if (batch.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closing || state->done) {
        state->dropped += batch.count();
        return;
    }
    const bool was_empty = state->batches.empty();
    state->append(batch, taken);
    // A gathering thread sleeps until its time unless enough waits: no wake-up for every push.
    if (state->gather.count() == 0 || was_empty || state->due()) {
        state->wake.notify_all();
    }
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
