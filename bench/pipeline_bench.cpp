// Delivery throughput: records already in the ring go out through the delivery thread to the
// reference collector, beside the raw limit of the same two sends per frame written by a plain
// loop on a connected loopback socket. Both are measured against the collector (it decodes
// every record and writes its JSON line) and against a sink that only drains the socket, which
// isolates the sender.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <list>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench_support.hpp"
#include "config/settings.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/sensor_queue_processor.hpp"

namespace {

using namespace tarn;

constexpr uint32_t ring_size = 128u << 20;
constexpr uint8_t version_frame[10] = {0x00, 0x00, 0x00, 0x06, 0x01, '3', '.', '7', '.', '1'};
constexpr double deadline_seconds = 60;

// Query/response records around packets of 60 to 500 bytes, in turn.
const std::vector<std::vector<uint8_t>>& record_mix() {
    static const std::vector<std::vector<uint8_t>> mix = [] {
        std::vector<std::vector<uint8_t>> records;
        for (size_t size : {60, 120, 250, 500}) {
            records.push_back(bench::dns_record(size, false, 0x4242));
            records.push_back(bench::dns_record(size, true, 0x4242));
        }
        return records;
    }();
    return mix;
}

struct Batch {
    explicit Batch(uint64_t n) : count(n) {
        const auto& mix = record_mix();
        for (uint64_t i = 0; i < count; ++i) {
            const auto& record = mix[i % mix.size()];
            wire_bytes += 4 + record.size();
            payload_bytes += record.size();
        }
    }
    const std::vector<uint8_t>& record(uint64_t i) const {
        return record_mix()[i % record_mix().size()];
    }
    uint64_t count;
    uint64_t wire_bytes = sizeof version_frame;
    uint64_t payload_bytes = 0;
};

void fill(sensor::SensorQueue& queue, const Batch& batch) {
    for (uint64_t i = 0; i < batch.count; ++i) {
        const auto& record = batch.record(i);
        queue.push(record.data(), static_cast<uint32_t>(record.size()));
    }
}

void send_whole(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            throw std::runtime_error("send() failed in the raw loop");
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
}

// The raw limit: a connected blocking socket, a 4-byte prefix and the record per frame.
void raw_loop(uint16_t port, const Batch& batch) {
    int fd = bench::connect_loopback(port);
    if (fd < 0) {
        throw std::runtime_error("raw loop cannot connect");
    }
    send_whole(fd, version_frame, sizeof version_frame);
    for (uint64_t i = 0; i < batch.count; ++i) {
        const auto& record = batch.record(i);
        auto length = static_cast<uint32_t>(record.size());
        uint8_t prefix[4] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        send_whole(fd, prefix, 4);
        send_whole(fd, record.data(), record.size());
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void report(benchmark::State& state, const Batch& batch, double seconds) {
    double messages = static_cast<double>(batch.count) * static_cast<double>(state.iterations());
    double bytes = static_cast<double>(batch.wire_bytes) * static_cast<double>(state.iterations());
    state.counters["msgs_per_s"] = messages / seconds;
    state.counters["MB_per_s"] = bytes / seconds / 1e6;
    state.counters["avg_record_bytes"] =
        static_cast<double>(batch.payload_bytes) / static_cast<double>(batch.count);
}

// kind 0: the delivery thread, kind 1: the raw loop; to the reference collector.
void BM_PipelineToCollector(benchmark::State& state) {
    const bool raw = state.range(0) == 1;
    Batch batch(static_cast<uint64_t>(state.range(1)));
    bench::CollectorProcess collector;
    sensor::SensorQueue queue(ring_size);
    std::list<config::Target> targets{{"127.0.0.1", collector.port(), 5}};
    double seconds = 0;
    for (auto _ : state) {
        uint64_t lines_before = collector.lines();
        if (!raw) {
            fill(queue, batch);
        }
        int64_t start = bench::now_ns();
        sensor::SensorQueueProcessor processor(queue, targets);
        if (raw) {
            raw_loop(collector.port(), batch);
        } else {
            processor.start();
        }
        // One line per frame: the version and every record.
        if (!collector.wait_lines(lines_before + 1 + batch.count, deadline_seconds)) {
            state.SkipWithError("collector did not receive every record");
            break;
        }
        double elapsed = static_cast<double>(bench::now_ns() - start) / 1e9;
        processor.stop();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    report(state, batch, seconds);
}
BENCHMARK(BM_PipelineToCollector)
    ->ArgsProduct({{0, 1}, {200000}})
    ->ArgNames({"raw", "records"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same, to a sink that only reads: the cost of the sender alone.
void BM_PipelineToDrain(benchmark::State& state) {
    const bool raw = state.range(0) == 1;
    Batch batch(static_cast<uint64_t>(state.range(1)));
    sensor::SensorQueue queue(ring_size);
    double seconds = 0;
    for (auto _ : state) {
        bench::DrainSink sink;
        std::list<config::Target> targets{{"127.0.0.1", sink.port(), 5}};
        if (!raw) {
            fill(queue, batch);
        }
        int64_t start = bench::now_ns();
        sensor::SensorQueueProcessor processor(queue, targets);
        if (raw) {
            raw_loop(sink.port(), batch);
        } else {
            processor.start();
        }
        int64_t end = sink.wait_bytes(batch.wire_bytes, deadline_seconds);
        if (end == 0) {
            state.SkipWithError("sink did not receive every byte");
            break;
        }
        processor.stop();
        double elapsed = static_cast<double>(end - start) / 1e9;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    report(state, batch, seconds);
}
BENCHMARK(BM_PipelineToDrain)
    ->ArgsProduct({{0, 1}, {400000}})
    ->ArgNames({"raw", "records"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
