// Fault-injection soak: decoded events stream into the queue, the first target never answers,
// and the test's collector checks every byte while it resets mid-frame, stalls, and goes away.
// Every record is accounted for. The soak stage runs it for TARN_SOAK_SECONDS.
#include <netinet/in.h>

#include <fstream>

#include "dnstap_harness_linux.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "support/byte_order.hpp"
#include "test_provider.hpp"

namespace tarn::sensor {
namespace {

using Clock = std::chrono::steady_clock;
using test::Bytes;

// A record's packet starts with its sequence number; sizes vary, a few beyond the processor's
// first 4096-byte buffer. The record as handle_event must build it, written out.
Bytes packet_of(uint32_t seq) {
    Bytes packet(seq % 499 == 7 ? 6000 : 12 + seq * 2654435761u % 400);
    for (size_t i = 0; i < packet.size(); ++i) {
        packet[i] = static_cast<uint8_t>(i < 4 ? seq >> (24 - 8 * i) : seq * 131 + i * 7);
    }
    return packet;
}
Bytes record_of(uint32_t seq) {
    const std::string addresses =
        "\x08"
        "10.1.2.3"
        "\x09"
        "10.0.0.53";  // device, server
    Bytes record = {2};
    test::put_be32(record, 1767225600 + seq / 1000);
    record.insert(record.end(), addresses.begin(), addresses.end());
    return test::joined({record, {static_cast<uint8_t>(seq & 1)}, packet_of(seq)});
}
constexpr size_t seq_at = 4 + 25;  // in a frame: the length, then the record up to its packet

struct Connection {
    int fd = -1;
    Bytes held;
    bool versioned = false, cut_off = false;  // cut off by the collector: in flight, lost
    std::vector<uint32_t> seqs;               // the records that arrived whole
    int64_t cut = -1;                         // the record whose start was left at the end
};

// Accepts on a fixed loopback port and checks every frame. In every 57 seconds: a reset
// mid-frame from second 2, a 6-second stall from 15, a 12-second outage from 33.
struct FaultCollector {
    void listen_now() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int one = 1, small = 32 * 1024;  // accepted sockets keep it: less in flight
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), size));
        ::listen(listener, 16);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    // Reads once and takes the whole frames; false when the peer closed or a frame is wrong.
    bool read_from(Connection& c, size_t size) {
        ssize_t got = ::recv(c.fd, buffer.data(), size, 0);
        c.held.insert(c.held.end(), buffer.begin(), buffer.begin() + std::max<ssize_t>(got, 0));
        const Bytes version = {0, 0, 0, 6, 1, '3', '.', '7', '.', '1'};
        size_t at = !c.versioned && c.held.size() >= 10 ? 10 : 0;
        bool good =
            c.versioned || at == 0 || std::equal(version.begin(), version.end(), c.held.begin());
        c.versioned = c.versioned || at == 10;
        while (good && c.versioned && c.held.size() - at >= seq_at + 4) {
            Bytes expected = record_of(load_be32(c.held.data() + at + seq_at));
            size_t have = std::min(c.held.size() - at - 4, expected.size());
            good = load_be32(c.held.data() + at) == expected.size() &&
                   std::equal(expected.begin(), expected.begin() + have, c.held.begin() + at + 4);
            if (!good || have < expected.size()) {
                break;  // wrong, or the rest is still to come
            }
            c.seqs.push_back(load_be32(c.held.data() + at + seq_at));
            highest = std::max<int64_t>(highest, c.seqs.back());
            at += 4 + expected.size();
        }
        c.held.erase(c.held.begin(), c.held.begin() + static_cast<ptrdiff_t>(at));
        corrupted = corrupted || !good;
        return good && got > 0;
    }
    void end(Connection& c, bool cut_off) {
        c.cut = c.versioned && c.held.size() >= seq_at + 4
                    ? int64_t{load_be32(c.held.data() + seq_at)}
                    : -1;
        c.cut_off = cut_off;
        linger abort_close{1, 0};
        if (cut_off) {
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
        }
        ::close(c.fd);
        c.fd = -1;
    }
    void serve() {
        auto begin = Clock::now();
        for (bool reset_done = false; !stopping;) {
            auto second = (Clock::now() - begin) / std::chrono::seconds(1) % 57;
            reset_done = second >= 2 && second < 13 && reset_done;
            bool resetting = second >= 2 && second < 13 && !reset_done;
            bool stalled = second >= 15 && second < 21, down = second >= 33 && second < 45;
            Connection* c =
                connections.empty() || connections.back().fd < 0 ? nullptr : &connections.back();
            if (down && listener >= 0) {  // gone: the connection is reset, nothing more is read
                ::close(listener);
                listener = -1;
            } else if (!down && listener < 0) {
                listen_now();
            }
            if (down && c != nullptr) {
                end(*c, true);
            }
            pollfd fds[2] = {{listener, POLLIN, 0},
                             {c && !stalled && !down ? c->fd : -1, POLLIN, 0}};
            // A reset comes in the middle of a frame: a short read from wherever it is.
            if (::poll(fds, 2, 20) > 0 && fds[1].revents != 0 &&
                (!read_from(*c, resetting ? 1 + connections.size() * 7 % 40 : buffer.size()) ||
                 (resetting && !c->held.empty()))) {
                reset_done = reset_done || resetting;
                end(*c, resetting || corrupted);
            }
            int fd = fds[0].revents == 0 ? -1 : ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            // The agent closed the last one before it connected again: all of its rest is here.
            while (fd >= 0 && c != nullptr && c->fd >= 0 && read_from(*c, buffer.size())) {
            }
            if (fd >= 0 && c != nullptr && c->fd >= 0) {
                end(*c, false);
            }
            if (fd >= 0) {
                connections.emplace_back().fd = fd;
            }
        }
        if (!connections.empty() && connections.back().fd >= 0) {  // the others have ended
            end(connections.back(), false);
        }
        ::close(listener);
    }

    int listener = -1;
    std::atomic<uint16_t> port{0};
    std::atomic<int64_t> highest{-1};
    std::atomic<bool> stopping{false}, corrupted{false};
    std::vector<Connection> connections;
    Bytes buffer = Bytes(64 * 1024);
};

long resident_kib() {
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Soak, DISABLED_FaultInjectedDeliveryAccountsForEveryRecord) {
    const char* configured = std::getenv("TARN_SOAK_SECONDS");
    const auto duration =
        std::chrono::seconds(std::max(10, configured ? std::atoi(configured) : 20));
    const size_t fds_before = test::open_descriptors();
    FaultCollector collector;
    collector.listen_now();
    std::thread collecting([&] { collector.serve(); });
    std::list<config::Target> targets = {{"127.0.0.1", test::unused_port(), 1},  // unreachable
                                         {"127.0.0.1", collector.port, 1}};
    std::atomic<uint32_t> pushed{0};
    std::atomic<bool> producing{true};
    SensorQueue queue(4 << 20);
    SensorQueueProcessor processor(queue, targets);
    processor.start();
    std::thread producer([&] {  // 5 DNS packet events a millisecond through the decoder
        net::EtwTraceState state;
        state.message_callback = push_message;
        state.message_context = &queue;
        for (auto tick = Clock::now(); producing;
             std::this_thread::sleep_until(tick += std::chrono::milliseconds(1))) {
            for (uint32_t seq = pushed, end = seq + 5; seq < end; pushed = ++seq) {
                test::TestEvent event(
                    256, test::packet_properties(seq & 1, "10.0.0.53", "10.1.2.3", packet_of(seq)),
                    test::filetime_of(1767225600 + seq / 1000));
                net::handle_event(state, event.record());
            }
        }
    });
    // Memory counts from after the first fault: ring, buffers and pools used whole.
    auto begin = Clock::now();
    std::this_thread::sleep_until(begin + std::min(duration, std::chrono::seconds(15)));
    const long rss_start = resident_kib();
    std::this_thread::sleep_until(begin + duration);
    producing = false;
    producer.join();
    for (int i = 0; i < 600 && collector.highest + 1 < pushed; ++i) {  // the last back-offs
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const long rss_end = resident_kib();
    processor.stop();
    collector.stopping = true;
    collecting.join();
    EXPECT_LT(rss_end - rss_start, 8 * 1024) << "memory grew";

    // Records come in queue order, each once. A new connection starts with the record whose
    // send failed: when the collector cut the last one, the records after the last that arrived
    // went down with it; when the agent closed it, nothing may be missing, and a frame cut at
    // its end is the one resent. Every other gap is a discard of the ring.
    EXPECT_FALSE(collector.corrupted);
    uint64_t received = 0, lost = 0;
    int64_t last = -1, cut = -1;
    bool cut_off = false;  // since the last connection with records, that one included
    for (const Connection& c : collector.connections) {
        for (size_t i = 0; i < c.seqs.size(); ++i, ++received) {
            uint32_t seq = c.seqs[i];
            EXPECT_GT(int64_t{seq}, last) << "out of order, or arrived twice";
            uint64_t gap = i > 0 || last < 0 ? 0 : seq - last - 1;  // sent into a dead one
            lost += gap;
            EXPECT_TRUE(i > 0 || cut_off || (gap == 0 && (cut < 0 || cut == seq)))
                << "record " << seq << " after " << last << ", cut " << cut;
            last = seq;
        }
        cut = c.seqs.empty() ? cut : c.cut;
        cut_off = c.cut_off || (c.seqs.empty() && cut_off);
    }
    EXPECT_EQ(int64_t{pushed}, last + 1) << "the last record never arrived";
    EXPECT_EQ(pushed, received + queue.discarded_entries() + lost);
    EXPECT_EQ(fds_before, test::open_descriptors());
}

}  // namespace
}  // namespace tarn::sensor
