#pragma once

// Shared pieces of the benchmarks: crafted DNS packets and records, loopback peers (the
// reference collector as a child process, a draining sink, a peer that never reads), latency
// percentiles and process memory.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tarn::sensor {
class SensorQueue;
}

namespace tarn::bench {

// A well-formed DNS message of exactly size bytes (at least 60): a question for
// www.example.test A, for a response one answer, and an EDNS padding option for the rest.
std::vector<uint8_t> dns_packet(size_t size, bool response, uint16_t id);

// A DnsEventMessage as the decoder builds it, around a dns_packet of packet_size bytes.
std::vector<uint8_t> dns_record(size_t packet_size, bool response, uint16_t id);

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes and reads back the whole ring once, so its pages are resident as in an agent that
// has been running a while, and leaves it empty.
void warm_ring(sensor::SensorQueue& queue);

// Nearest-rank percentile of sorted samples, q in [0, 1].
uint64_t percentile(const std::vector<uint32_t>& sorted, double q);

// Resident and peak resident set of a process in bytes, from /proc; 0 when unreadable.
uint64_t resident_bytes(pid_t pid);
uint64_t peak_resident_bytes(pid_t pid);

// The reference collector on a free loopback port, its stdout read back line by line so a
// benchmark knows when everything sent has been decoded and written.
class CollectorProcess {
  public:
    CollectorProcess();
    ~CollectorProcess();
    CollectorProcess(const CollectorProcess&) = delete;
    CollectorProcess& operator=(const CollectorProcess&) = delete;

    uint16_t port() const { return listen_port; }
    // Output lines so far (one per frame).
    uint64_t lines() const { return line_count.load(std::memory_order_acquire); }
    // True once at least count lines have been written, false after timeout_seconds.
    bool wait_lines(uint64_t count, double timeout_seconds) const;

  private:
    void read_output();

    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    uint16_t listen_port = 0;
    std::atomic<uint64_t> line_count{0};
    std::thread reader;
};

// Accepts one connection on a free loopback port and reads it to the end, counting bytes; with
// a certificate directory (scripts/test-certs.sh), over TLS as its collector.
class DrainSink {
  public:
    explicit DrainSink(const std::string& tls_directory = "");
    ~DrainSink();
    DrainSink(const DrainSink&) = delete;
    DrainSink& operator=(const DrainSink&) = delete;

    uint16_t port() const { return listen_port; }
    // Time (now_ns) at which total bytes had arrived, or 0 after timeout_seconds.
    int64_t wait_bytes(uint64_t total, double timeout_seconds) const;

  private:
    int listener = -1;
    uint16_t listen_port = 0;
    std::atomic<uint64_t> received{0};
    std::atomic<int64_t> last_arrival{0};
    std::thread worker;
};

// A collector that accepts connections and never reads from them.
class StalledSink {
  public:
    StalledSink();
    ~StalledSink();
    StalledSink(const StalledSink&) = delete;
    StalledSink& operator=(const StalledSink&) = delete;

    uint16_t port() const { return listen_port; }

  private:
    int listener = -1;
    int wake[2] = {-1, -1};
    uint16_t listen_port = 0;
    std::vector<int> accepted;
    std::thread worker;
};

// A loopback port with nothing listening on it: connects are refused.
uint16_t closed_port();

// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int connect_loopback(uint16_t port);

}  // namespace tarn::bench
