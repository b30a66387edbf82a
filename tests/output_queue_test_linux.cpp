// The collector's output buffer: items go out whole and in order across its chunks, a stalled
// sink costs the oldest items (never part of the newest batch), and a gathering sink is woken
// for its first batch and when enough waits, with everything queued in one write.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector/output_queue.hpp"

namespace tarn::collector {
namespace {

using namespace std::chrono_literals;

// Keeps what it was given; holds every write while closed.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    std::vector<std::string> items;
    size_t writes = 0;

    void take(const Batch& batch) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return open; });
        size_t at = 0;
        for (uint32_t size : batch.sizes) {
            items.push_back(batch.bytes.substr(at, size));
            at += size;
        }
        EXPECT_EQ(at, batch.bytes.size());
    }
    void set_open(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        open = value;
        changed.notify_all();
    }
    bool wait_for_items(size_t count, std::chrono::seconds bound) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, bound, [&] { return items.size() >= count; });
    }
};

class RecordingSink : public Sink {
  public:
    RecordingSink(Recorder& recorder, std::chrono::milliseconds gather, size_t gather_count)
        : recorder(recorder), gather(gather), gather_count(gather_count) {}
    bool write(const Batch& batch) override {
        recorder.take(batch);
        return wrote(1);
    }
    bool write_gathered(const std::vector<Batch>& batches) override {
        for (const Batch& batch : batches) {
            recorder.take(batch);
        }
        return wrote(1);
    }
    std::chrono::milliseconds gather_time() const override { return gather; }
    size_t gather_items() const override { return gather_count; }

  private:
    bool wrote(size_t writes) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.writes += writes;
        recorder.changed.notify_all();
        return true;
    }
    Recorder& recorder;
    std::chrono::milliseconds gather;
    size_t gather_count;
};

// Item n of a run: its number, then filler up to size, so that order and wholeness show.
std::string item(size_t n, size_t size) {
    std::string text = std::to_string(n) + ":";
    text.resize(std::max(size, text.size()), static_cast<char>('a' + n % 26));
    return text;
}

Batch batch_of(size_t& next, const std::vector<size_t>& sizes) {
    Batch batch;
    for (size_t size : sizes) {
        batch.bytes += item(next++, size);
        batch.seal();
    }
    return batch;
}

TEST(OutputQueue, ItemsGoWholeInOrderAndAStalledSinkCostsTheOldest) {
    struct Case {
        const char* name;
        size_t limit;
        std::vector<std::vector<size_t>> pushes;  // item sizes of each batch
        bool stalled;                             // the sink holds its first write meanwhile
    };
    const Case cases[] = {
        {"chunks of 4 KiB filled across batches",
         1 << 16,
         {{1000, 3000, 200}, {4000}, {90}},
         false},
        {"an item larger than a chunk", 1 << 16, {{100}, {9000, 10}, {5000}}, false},
        {"many small batches", 1 << 20, std::vector<std::vector<size_t>>(500, {30, 70}), false},
        {"stalled: the oldest go", 1 << 16, std::vector<std::vector<size_t>>(40, {3000}), true},
        {"stalled: a batch over the limit stays whole",
         1 << 16,
         {{3000}, {3000}, {20000, 20000, 20000, 20000}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        OutputQueue queue(std::make_unique<RecordingSink>(recorder, 0ms, 0), c.limit);
        size_t next = 0;
        if (c.stalled) {
            recorder.set_open(false);
        }
        std::vector<size_t> sizes;  // of every item pushed
        size_t newest = 0;          // the first item of the newest batch
        for (const std::vector<size_t>& batch_sizes : c.pushes) {
            newest = next;
            sizes.insert(sizes.end(), batch_sizes.begin(), batch_sizes.end());
            Batch batch = batch_of(next, batch_sizes);
            const Batch pushed = batch;
            if (next % 2 == 0) {  // both ways in: taken, left empty; copied, left as it was
                queue.push(batch);
                EXPECT_TRUE(batch.empty() && batch.bytes.empty());
            } else {
                queue.push_copy(batch);
                EXPECT_EQ(batch.bytes, pushed.bytes);
            }
        }
        recorder.set_open(true);
        queue.finish(std::chrono::steady_clock::now() + 10s);
        // Whole and in order; what is missing are older items (before and after the write
        // held while they were pushed), and the newest batch is all there.
        ASSERT_EQ(recorder.items.size() + queue.dropped(), next);
        EXPECT_EQ(queue.dropped() > 0, c.stalled);
        size_t gaps = 0, expected = 0;
        for (const std::string& text : recorder.items) {
            const size_t n = std::stoul(text);
            ASSERT_TRUE(n < next && n >= expected) << text.substr(0, 20);
            ASSERT_EQ(text, item(n, sizes[n]));
            gaps += n != expected ? 1 : 0;
            expected = n + 1;
        }
        EXPECT_LE(gaps, c.stalled ? 2u : 0u);
        EXPECT_EQ(expected, next);
        ASSERT_GE(recorder.items.size(), next - newest);
        EXPECT_EQ(std::stoul(recorder.items[recorder.items.size() - (next - newest)]), newest);
    }
}

TEST(OutputQueue, GatheringSinkIsWokenForItsFirstBatchAndWhenEnoughWaits) {
    // Gathering once a minute: a first batch goes at once, then 1,000 waiting items go before
    // the minute is out, everything queued as one write.
    Recorder recorder;
    OutputQueue queue(std::make_unique<RecordingSink>(recorder, 60s, 1000), 1 << 24);
    size_t next = 0;
    std::this_thread::sleep_for(100ms);  // the output's thread waits for a batch
    queue.push_copy(batch_of(next, {50}));
    ASSERT_TRUE(recorder.wait_for_items(1, 10s)) << "the first batch waited for its time";
    for (int i = 0; i < 100; ++i) {
        queue.push_copy(batch_of(next, std::vector<size_t>(10, 500)));
    }
    ASSERT_TRUE(recorder.wait_for_items(next, 10s)) << "1,000 items waited for the minute";
    EXPECT_EQ(recorder.writes, 2u);
    for (size_t i = 0; i < next; ++i) {
        ASSERT_EQ(recorder.items[i], item(i, i == 0 ? 50 : 500));
    }
    queue.finish(std::chrono::steady_clock::now() + 10s);
    EXPECT_EQ(queue.dropped(), 0u);
}

}  // namespace
}  // namespace tarn::collector
