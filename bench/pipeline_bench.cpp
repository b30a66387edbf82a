// Delivery throughput: records already in the ring go out through the delivery thread to the
// reference collector, beside the raw limit of the same two sends per frame written by a plain
// loop on a connected loopback socket. Both are measured against the collector (it decodes
// every record and writes its JSON line) and against a sink that only drains the socket, which
// isolates the sender.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "config/settings.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/wire_format.hpp"

namespace {

using namespace tarn;

constexpr uint32_t ring_size = 128u << 20;
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
            wire_bytes += sensor::wire::frame_prefix_size + record.size();
            payload_bytes += record.size();
        }
    }
    const std::vector<uint8_t>& record(uint64_t i) const {
        return record_mix()[i % record_mix().size()];
    }
    uint64_t count;
    uint64_t wire_bytes = sensor::wire::version_frame_size;
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
    uint8_t version_frame[sensor::wire::version_frame_size];
    sensor::wire::encode_version_frame(version_frame);
    send_whole(fd, version_frame, sizeof version_frame);
    for (uint64_t i = 0; i < batch.count; ++i) {
        const auto& record = batch.record(i);
        auto length = static_cast<uint32_t>(record.size());
        uint8_t prefix[sensor::wire::frame_prefix_size];
        sensor::wire::encode_frame_prefix(prefix, length);
        send_whole(fd, prefix, sizeof prefix);
        send_whole(fd, record.data(), record.size());
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

// Delivers the batch once through the delivery thread (raw false) or the raw loop (raw true)
// to the peer on port and returns the seconds until the peer had it all; done() waits for that
// and gives the arrival time, or 0 when it never came.
template <typename Done>
double deliver_once(bool raw, sensor::SensorQueue& queue, uint16_t port, const Batch& batch,
                    Done done, const config::TlsSettings* tls = nullptr) {
    std::list<config::Target> targets{{"127.0.0.1", port, 5}};
    if (!raw) {
        fill(queue, batch);
    }
    sensor::SensorQueueProcessor processor(queue, targets);
    if (tls != nullptr) {
        processor.use_tls(*tls);
    }
    int64_t start = bench::now_ns();
    if (raw) {
        raw_loop(port, batch);
    } else {
        processor.start();
    }
    int64_t end = done();
    processor.stop();
    return end == 0 ? 0 : static_cast<double>(end - start) / 1e9;
}

// Every iteration sends the batch through the delivery thread and through the raw loop, in
// turns of order, so both see the same machine; the ratio is taken per iteration and its
// median reported. sink 0: the reference collector; sink 1: a socket that is only drained.
void BM_PipelineVersusRawLoop(benchmark::State& state) {
    const bool to_collector = state.range(0) == 0;
    Batch batch(static_cast<uint64_t>(state.range(1)));
    sensor::SensorQueue queue(ring_size);
    std::unique_ptr<bench::CollectorProcess> collector;
    if (to_collector) {
        collector = std::make_unique<bench::CollectorProcess>();
    }
    std::vector<double> ratios;
    double agent_seconds = 0;
    double raw_seconds = 0;
    bool raw_first = false;
    for (auto _ : state) {
        double seconds[2] = {0, 0};
        for (int turn = 0; turn < 2; ++turn) {
            bool raw = (turn == 0) == raw_first;
            if (to_collector) {
                uint64_t target = collector->lines() + 1 + batch.count;
                seconds[raw] = deliver_once(raw, queue, collector->port(), batch, [&] {
                    return collector->wait_lines(target, deadline_seconds) ? bench::now_ns() : 0;
                });
            } else {
                bench::DrainSink sink;
                seconds[raw] = deliver_once(raw, queue, sink.port(), batch, [&] {
                    return sink.wait_bytes(batch.wire_bytes, deadline_seconds);
                });
            }
        }
        raw_first = !raw_first;
        if (seconds[0] == 0 || seconds[1] == 0) {
            state.SkipWithError("the peer did not receive every record");
            break;
        }
        state.SetIterationTime(seconds[0]);
        agent_seconds += seconds[0];
        raw_seconds += seconds[1];
        ratios.push_back(seconds[1] / seconds[0]);
    }
    if (ratios.empty()) {
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    const auto n = static_cast<double>(ratios.size());
    const auto messages = static_cast<double>(batch.count) * n;
    const auto bytes = static_cast<double>(batch.wire_bytes) * n;
    state.counters["agent_msgs_per_s"] = messages / agent_seconds;
    state.counters["agent_MB_per_s"] = bytes / agent_seconds / 1e6;
    state.counters["raw_msgs_per_s"] = messages / raw_seconds;
    state.counters["raw_MB_per_s"] = bytes / raw_seconds / 1e6;
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["avg_record_bytes"] =
        static_cast<double>(batch.payload_bytes) / static_cast<double>(batch.count);
}
BENCHMARK(BM_PipelineVersusRawLoop)
    ->Args({0, 200000})
    ->Args({1, 300000})
    ->ArgNames({"sink", "records"})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The delivery thread to a draining sink over TLS against plain TCP, in turns of order; the
// ratio of TLS to plain throughput per iteration, median. Needs the certificates of
// scripts/test-certs.sh in TARN_BENCH_CERTS (scripts/bench.sh makes them).
void BM_PipelineTlsVersusPlain(benchmark::State& state) {
    const char* certificates = std::getenv("TARN_BENCH_CERTS");
    if (certificates == nullptr) {
        state.SkipWithError("TARN_BENCH_CERTS is not set");
        return;
    }
    config::TlsSettings tls;
    tls.on = true;
    tls.ca_file = std::string(certificates) + "/ca.pem";
    Batch batch(static_cast<uint64_t>(state.range(0)));
    sensor::SensorQueue queue(ring_size);
    std::vector<double> ratios;
    double total[2] = {0, 0};  // plain, TLS
    bool tls_first = false;
    for (auto _ : state) {
        double seconds[2] = {0, 0};
        for (int turn = 0; turn < 2; ++turn) {
            const bool secure = (turn == 0) == tls_first;
            bench::DrainSink sink(secure ? certificates : "");
            seconds[secure] = deliver_once(
                false, queue, sink.port(), batch,
                [&] { return sink.wait_bytes(batch.wire_bytes, deadline_seconds); },
                secure ? &tls : nullptr);
        }
        tls_first = !tls_first;
        if (seconds[0] == 0 || seconds[1] == 0) {
            state.SkipWithError("the sink did not receive every record");
            break;
        }
        state.SetIterationTime(seconds[1]);
        total[0] += seconds[0];
        total[1] += seconds[1];
        ratios.push_back(seconds[0] / seconds[1]);
    }
    if (ratios.empty()) {
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    const auto messages = static_cast<double>(batch.count * ratios.size());
    state.counters["plain_msgs_per_s"] = messages / total[0];
    state.counters["tls_msgs_per_s"] = messages / total[1];
    state.counters["ratio"] = ratios[ratios.size() / 2];
}
BENCHMARK(BM_PipelineTlsVersusPlain)
    ->Arg(300000)
    ->ArgName("records")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
