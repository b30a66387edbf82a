// The producer's side while delivery is stuck: the latency of every push into a ring that keeps
// overflowing, with a collector that accepts and never reads and with no collector at all; and
// the resident memory of the agent itself after a long overflow.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "config/settings.hpp"
#include "net/standin/frame_streams.hpp"
#include "sensor/sensor_queue.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

extern char** environ;

namespace {

using namespace tarn;

constexpr uint32_t isolation_ring = 16u << 20;
constexpr uint64_t measured_pushes = 2000000;

std::vector<std::vector<uint8_t>> records_60_to_500() {
    std::vector<std::vector<uint8_t>> records;
    for (size_t size : {60, 120, 250, 500}) {
        records.push_back(bench::dns_record(size, false, 0x4242));
        records.push_back(bench::dns_record(size, true, 0x4242));
    }
    return records;
}

// mode 0: the collector accepts and never reads; mode 1: nothing listens on the port.
void BM_PushLatencyWhileStuck(benchmark::State& state) {
    const bool absent = state.range(0) == 1;
    auto records = records_60_to_500();
    std::unique_ptr<bench::StalledSink> stalled;
    uint16_t port = 0;
    if (absent) {
        port = bench::closed_port();
    } else {
        stalled = std::make_unique<bench::StalledSink>();
        port = stalled->port();
    }
    sensor::SensorQueue queue(isolation_ring);
    std::list<config::Target> targets{{"127.0.0.1", port, 5}};
    sensor::SensorQueueProcessor processor(queue, targets);
    processor.start();

    // Two passes over the ring first: every page is touched and, with the stalled collector,
    // the socket buffers are full and the delivery thread blocked in its writability wait.
    uint64_t warm_up = 2 * isolation_ring / 200;
    for (uint64_t i = 0; i < warm_up; ++i) {
        const auto& record = records[i % records.size()];
        queue.push(record.data(), static_cast<uint32_t>(record.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::vector<uint32_t> latencies(measured_pushes);
    for (auto _ : state) {
        for (uint64_t i = 0; i < measured_pushes; ++i) {
            const auto& record = records[i % records.size()];
            int64_t before = bench::now_ns();
            queue.push(record.data(), static_cast<uint32_t>(record.size()));
            latencies[i] = static_cast<uint32_t>(bench::now_ns() - before);
        }
    }
    processor.stop();
    std::sort(latencies.begin(), latencies.end());
    state.counters["p50_ns"] = static_cast<double>(bench::percentile(latencies, 0.50));
    state.counters["p99_ns"] = static_cast<double>(bench::percentile(latencies, 0.99));
    state.counters["p999_ns"] = static_cast<double>(bench::percentile(latencies, 0.999));
    state.counters["max_ns"] = static_cast<double>(latencies.back());
    state.counters["ring_passes"] = static_cast<double>(measured_pushes) * 264.0 / isolation_ring;
    state.SetItemsProcessed(static_cast<int64_t>(measured_pushes));
}
BENCHMARK(BM_PushLatencyWhileStuck)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("absent")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void varint(std::vector<uint8_t>& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

void bytes_field(std::vector<uint8_t>& out, uint32_t field, const std::vector<uint8_t>& value) {
    varint(out, uint64_t{field} << 3 | 2);
    varint(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

// A Frame Streams data frame holding a dnstap CLIENT_QUERY or CLIENT_RESPONSE.
std::vector<uint8_t> dnstap_data_frame(size_t packet_size, bool response) {
    std::vector<uint8_t> message;
    for (auto [field, value] :
         {std::pair<uint32_t, uint64_t>{1, response ? 6 : 5}, {2, 1}, {3, 1}, {6, 53000}}) {
        varint(message, uint64_t{field} << 3);
        varint(message, value);
    }
    bytes_field(message, 4, {192, 0, 2, 77});
    bytes_field(message, 5, {127, 0, 0, 1});
    bytes_field(message, response ? 14 : 10, bench::dns_packet(packet_size, response, 0x4242));
    std::vector<uint8_t> dnstap = {15 << 3, 1};
    bytes_field(dnstap, 14, message);
    std::vector<uint8_t> frame(4);
    store_be32(frame.data(), static_cast<uint32_t>(dnstap.size()));
    frame.insert(frame.end(), dnstap.begin(), dnstap.end());
    return frame;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The agent binary with the given queue size and an unreachable collector, fed dnstap on its
// socket until the ring has been overrun many times; its resident memory is read afterwards.
void BM_AgentMemoryAfterOverflow(benchmark::State& state) {
    const auto queue_size = static_cast<uint32_t>(state.range(0)) << 20;
    char directory_template[] = "/tmp/tarn-bench-agent.XXXXXX";
    const char* made = ::mkdtemp(directory_template);
    if (made == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string directory = made;
    std::string socket_path = directory + "/dnstap.sock";
    std::string config_path = directory + "/agent.conf";
    {
        std::ofstream config(config_path);
        config << "target 127.0.0.1:" << bench::closed_port() << " 1\n"
               << "queue-size " << queue_size << "\n"
               << "dnstap-socket " << socket_path << "\n";
    }
    char program[] = TARN_AGENT_BINARY;
    std::vector<char> config_argument(config_path.begin(), config_path.end());
    config_argument.push_back('\0');
    char* argv[] = {program, config_argument.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        state.SkipWithError("cannot start the agent");
        return;
    }
    struct stat status;
    for (int i = 0; i < 100 && ::stat(socket_path.c_str(), &status) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    bool connected =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;

    // A batch of frames of all sizes, written over and over.
    std::vector<uint8_t> batch;
    uint64_t frames_per_batch = 0;
    uint64_t record_bytes_per_batch = 0;
    while (batch.size() < (256u << 10)) {
        for (size_t size : {60, 120, 250, 500}) {
            for (bool response : {false, true}) {
                auto frame = dnstap_data_frame(size, response);
                batch.insert(batch.end(), frame.begin(), frame.end());
                ++frames_per_batch;
                record_bytes_per_batch +=
                    sensor::wire::frame_prefix_size + bench::dns_record(size, response, 0).size();
            }
        }
    }
    const uint64_t batches = 8 * uint64_t{queue_size} / record_bytes_per_batch + 1;
    uint64_t frames = 0;
    double seconds = 0;
    for (auto _ : state) {
        uint8_t start[64];
        size_t start_size = net::frame_streams::encode_control(
            net::frame_streams::control_start, net::frame_streams::dnstap_content_type, start,
            sizeof start);
        if (!connected || !write_all(fd, start, start_size)) {
            state.SkipWithError("cannot write dnstap to the agent");
            break;
        }
        int64_t begin = bench::now_ns();
        for (uint64_t b = 0; b < batches; ++b) {
            if (!write_all(fd, batch.data(), batch.size())) {
                state.SkipWithError("the agent dropped the dnstap connection");
                break;
            }
            frames += frames_per_batch;
        }
        seconds = static_cast<double>(bench::now_ns() - begin) / 1e9;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const double mib = 1024.0 * 1024.0;
    uint64_t resident = bench::resident_bytes(pid);
    uint64_t peak = bench::peak_resident_bytes(pid);
    state.counters["queue_MiB"] = queue_size / mib;
    state.counters["rss_MiB"] = static_cast<double>(resident) / mib;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / mib;
    state.counters["over_queue_MiB"] = (static_cast<double>(peak) - queue_size) / mib;
    state.counters["ring_passes"] =
        static_cast<double>(batches * record_bytes_per_batch) / static_cast<double>(queue_size);
    state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
    if (fd >= 0) {
        ::close(fd);
    }
    ::kill(pid, SIGTERM);
    int exit_status = 0;
    ::waitpid(pid, &exit_status, 0);
    ::unlink(config_path.c_str());
    ::rmdir(directory.c_str());
}
BENCHMARK(BM_AgentMemoryAfterOverflow)
    ->Arg(16)
    ->Arg(64)
    ->ArgName("queue_MiB")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
