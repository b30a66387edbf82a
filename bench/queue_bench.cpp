// The ring between capture and delivery: push on one thread, pop on another, the consumer
// sleeping on the queue's event whenever it finds the ring empty, as the delivery thread does.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "sensor/sensor_queue.hpp"
#include "support/threads.hpp"

namespace {

using namespace tarn;

constexpr uint32_t ring_size = 64u << 20;
constexpr uint64_t batch_bytes = 48u << 20;  // below the ring: the producer never overruns it

void BM_QueuePushPop(benchmark::State& state) {
    const auto message_size = static_cast<uint32_t>(state.range(0));
    const uint64_t count = batch_bytes / (message_size + 4);
    std::vector<uint8_t> message(message_size, 0x5A);
    sensor::SensorQueue queue(ring_size);
    bench::warm_ring(queue);
    uint64_t total_popped = 0;
    uint64_t total_waits = 0;

    for (auto _ : state) {
        std::atomic<bool> producer_done{false};
        uint64_t popped = 0;
        uint64_t waits = 0;
        std::thread consumer([&] {
            std::vector<uint8_t> buffer(4096);
            for (;;) {
                int32_t got = queue.pop(buffer.data(), static_cast<uint32_t>(buffer.size()));
                if (got > 0) {
                    ++popped;
                    continue;
                }
                // Checked after an empty pop, so a finished producer's last entries are in.
                if (producer_done.load(std::memory_order_acquire)) {
                    if (queue.pop(buffer.data(), static_cast<uint32_t>(buffer.size())) > 0) {
                        ++popped;
                        continue;
                    }
                    break;
                }
                ++waits;
                queue.wait();
            }
        });
        for (uint64_t i = 0; i < count; ++i) {
            queue.push(message.data(), message_size);
        }
        producer_done.store(true, std::memory_order_release);
        event_signal(queue.data_event_handle());
        consumer.join();
        total_popped += popped;
        total_waits += waits;
    }
    state.SetItemsProcessed(static_cast<int64_t>(total_popped));
    state.SetBytesProcessed(static_cast<int64_t>(total_popped * message_size));
    state.counters["pairs_per_s"] =
        benchmark::Counter(static_cast<double>(total_popped), benchmark::Counter::kIsRate);
    state.counters["lost"] = static_cast<double>(count * state.iterations() - total_popped);
    state.counters["consumer_waits"] = static_cast<double>(total_waits);
}
BENCHMARK(BM_QueuePushPop)->Arg(100)->Arg(1024)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
