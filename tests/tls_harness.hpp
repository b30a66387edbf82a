#pragma once
// TLS delivery on both platforms: records the collector decodes, the plain stream they make, the
// delivery thread over TLS to one target, and the slow-link check against slow_tls_reader.py
// (started by the Linux test itself, by scripts/wine-tls-test.sh under Wine).
#if !defined(_WIN32)
#include <sys/socket.h>
#include <csignal>
#else
#include <winsock2.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <thread>

#include "log_capture.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

namespace tarn::sensor {

using test::Bytes;

inline Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline uint64_t file_size(const std::string& path) {
    std::error_code missing;
    const uint64_t size = std::filesystem::file_size(path, missing);
    return missing ? 0 : size;
}

inline bool eventually(const std::function<bool()>& condition, int seconds) {
    for (int i = 0; i < seconds * 20 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// A record the collector decodes, and the stream of frames plain TCP would carry for records.
inline Bytes record_of(size_t packet_size, int seed) {
    wire::RecordHeader header{1700000000, "192.0.2.1", "192.0.2.53", 0};
    Bytes record(wire::record_size(header, packet_size));
    uint8_t* packet = wire::encode_record_header(header, record.data());
    for (size_t i = 0; i < packet_size; ++i) {
        packet[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return record;
}
inline Bytes stream_of(const std::vector<Bytes>& records) {
    Bytes stream(wire::version_frame_size);
    wire::encode_version_frame(stream.data());
    for (const Bytes& record : records) {
        stream.insert(stream.end(), 4, 0);
        store_be32(&stream[stream.size() - 4], static_cast<uint32_t>(record.size()));
        stream.insert(stream.end(), record.begin(), record.end());
    }
    return stream;
}

// The delivery thread over TLS to one target, the records in the ring first.
struct Delivery {
    Delivery(const config::TlsSettings& tls, uint16_t port, const std::vector<Bytes>& records,
             uint32_t timeout = 5, const SocketLayer& layer = SocketLayer{})
        : settings(tls), queue(64u << 20), targets{{"127.0.0.1", port, timeout}} {
#if !defined(_WIN32)
        sigset_t pipe;  // as the agent ignores it: a reset peer costs a failed send
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
        for (const Bytes& record : records) {
            queue.push(record.data(), static_cast<uint32_t>(record.size()));
        }
        processor.use_tls(settings);
        processor.use_socket_layer(layer);
        processor.start();
    }
    ~Delivery() {
        processor.stop();
    }
    test::LogCapture log;
    config::TlsSettings settings;
    SensorQueue queue;
    std::list<config::Target> targets;
    SensorQueueProcessor processor{queue, targets};
};

inline std::string first_error(const test::LogCapture& log) {
    for (const std::string& line : log.lines()) {
        if (line.rfind("ERROR - ", 0) == 0) {
            return line;
        }
    }
    return "";
}

// The slow link: many small records and some larger than one TLS record (16 KiB), to a reader
// at about 300 KB/s through 16 KiB socket buffers, time-out 2 s. With stall 0 the link keeps
// moving and is never cut; otherwise the reader stops for 4 s after stall bytes, the link is
// cut, and the resend starts at the first record the socket did not take whole: every record
// arrives exactly once (a count of bytes sent that lagged behind the socket would send some
// twice). The reader writes connection-N.bin in dir.
inline void check_slow_link(const config::TlsSettings& tls, const std::string& dir, uint16_t port,
                            int stall) {
    std::vector<Bytes> records;
    for (int i = 0; i < 2000; ++i) {
        records.push_back(record_of(i % 500 == 7 ? 20000 : 300 + i % 200, i));
    }
    const Bytes expected = stream_of(records);
    SocketLayer small_buffers;
    small_buffers.open = [](intptr_t& handle) {
        int code = socket_calls::open(handle);
        int size = 16384;
        setsockopt(static_cast<decltype(socket(0, 0, 0))>(handle), SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char*>(&size), sizeof size);
        return code;
    };
    const std::string first = dir + "/connection-0.bin", second = dir + "/connection-1.bin";
    Delivery delivery(tls, port, records, 2, small_buffers);
    // The stalled connection's cut record comes again, whole, after a second version frame.
    const uint64_t size = expected.size() + (stall == 0 ? 0 : wire::version_frame_size);
    EXPECT_TRUE(eventually([&] { return file_size(first) + file_size(second) >= size; }, 40))
        << stall;
    const Bytes got = file_bytes(first);
    if (stall == 0) {
        EXPECT_EQ(expected, got);
        EXPECT_EQ("", first_error(delivery.log));
        return;
    }
    EXPECT_TRUE(delivery.log.wait_for("ERROR - Send data to 127.0.0.1:", true));
    ASSERT_LE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
    size_t cut = 0, whole = wire::version_frame_size;  // records that came whole first
    while (cut < records.size() && whole + 4 + records[cut].size() <= got.size()) {
        whole += 4 + records[cut++].size();
    }
    EXPECT_EQ(stream_of({records.begin() + cut, records.end()}), file_bytes(second))
        << cut << " records came whole on the stalled connection";
}

}  // namespace tarn::sensor
