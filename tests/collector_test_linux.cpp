// The reference collector: reassembly, record and DNS decoding, JSON lines, pcap output, and
// the collector process itself on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "collector/connection_stream.hpp"
#include "collector/dns_decoder.hpp"
#include "collector/frame_reassembler.hpp"
#include "collector/json_writer.hpp"
#include "collector/message_decoder.hpp"
#include "collector/pcap_writer.hpp"
#include "dnstap_harness_linux.hpp"

namespace {

using namespace tarn::collector;
using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes frame(const Bytes& payload) {
    auto n = static_cast<uint32_t>(payload.size());
    Bytes out = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    return out + payload;
}

Bytes version_payload() {
    return Bytes{1} + text_bytes("3.7.1");
}

Bytes event_payload(uint32_t time, const std::string& device, const std::string& server,
                    uint8_t is_tcp, const Bytes& packet) {
    Bytes out = {2, uint8_t(time >> 24), uint8_t(time >> 16), uint8_t(time >> 8), uint8_t(time)};
    out.push_back(uint8_t(device.size()));
    out = out + text_bytes(device);
    out.push_back(uint8_t(server.size()));
    out = out + text_bytes(server);
    out.push_back(is_tcp);
    return out + packet;
}

// A query (or, with flags 0x8180, a response) for one name and type; labels as given.
Bytes dns_packet(uint16_t id, uint16_t flags, const std::vector<std::string>& labels,
                 uint16_t qtype) {
    Bytes out = {
        uint8_t(id >> 8), uint8_t(id), uint8_t(flags >> 8), uint8_t(flags), 0, 1, 0, 0, 0, 0, 0, 0};
    for (const auto& label : labels) {
        out.push_back(uint8_t(label.size()));
        out = out + text_bytes(label);
    }
    return out + Bytes{0, uint8_t(qtype >> 8), uint8_t(qtype), 0, 1};
}

const Bytes example_query = dns_packet(0x1234, 0x0100, {"example", "com"}, 1);
const char example_query_hex[] = "123401000001000000000000076578616d706c6503636f6d0000010001";

std::vector<Bytes> reassemble(FrameReassembler& reassembler, const Bytes& stream,
                              size_t chunk_seed) {
    std::vector<Bytes> frames;
    std::mt19937 random(static_cast<uint32_t>(chunk_seed));
    size_t at = 0;
    while (at < stream.size()) {
        size_t chunk = chunk_seed == 0 ? 1 : 1 + random() % 7;
        chunk = std::min(chunk, stream.size() - at);
        reassembler.feed(stream.data() + at, chunk);
        at += chunk;
        const uint8_t* payload = nullptr;
        size_t size = 0;
        while (reassembler.next(payload, size) == FrameReassembler::Status::frame) {
            frames.emplace_back(payload, payload + size);
        }
    }
    return frames;
}

TEST(CollectorReassembler, FramesSurviveAnySplit) {
    std::vector<Bytes> payloads = {version_payload(), event_payload(1, "a", "b", 0, example_query),
                                   Bytes{2}, Bytes(300, 0xAB)};
    Bytes stream;
    for (const auto& p : payloads) {
        stream = stream + frame(p);
    }
    for (size_t seed = 0; seed < 20; ++seed) {
        FrameReassembler reassembler(1024);
        EXPECT_EQ(reassemble(reassembler, stream, seed), payloads) << "split seed " << seed;
        EXPECT_EQ(reassembler.pending(), 0u);
    }
    FrameReassembler partial(1024);
    EXPECT_TRUE(reassemble(partial, Bytes(stream.begin(), stream.end() - 1), 0).size() == 3);
    EXPECT_EQ(partial.pending(), 4u + 300 - 1);
}

TEST(CollectorReassembler, RefusesEmptyAndOversizedFramesAtTheLengthField) {
    const uint8_t* payload = nullptr;
    size_t size = 0;
    FrameReassembler empty(16);
    empty.feed(Bytes{0, 0, 0, 0, 9}.data(), 5);
    EXPECT_EQ(empty.next(payload, size), FrameReassembler::Status::error);
    EXPECT_EQ(empty.error(), "empty frame (length 0)");

    FrameReassembler limited(16);
    Bytes exact = frame(Bytes(16, 2));
    limited.feed(exact.data(), exact.size());
    ASSERT_EQ(limited.next(payload, size), FrameReassembler::Status::frame);
    EXPECT_EQ(size, 16u);
    // Only the 4 length bytes of a 4 GB frame: refused before anything else arrives.
    limited.feed(Bytes{0xFF, 0xFF, 0xFF, 0xFF}.data(), 4);
    EXPECT_EQ(limited.next(payload, size), FrameReassembler::Status::error);
    EXPECT_EQ(limited.error(), "frame length 4294967295 exceeds the limit of 16 bytes");
    Bytes good = frame(version_payload());
    limited.feed(good.data(), good.size());
    EXPECT_EQ(limited.next(payload, size), FrameReassembler::Status::error);  // stays failed
}

TEST(CollectorMessage, DecodesBothTypesAndTheRecordLayout) {
    Message message;
    std::string error;
    Bytes version = version_payload();
    ASSERT_TRUE(decode_message(version.data(), version.size(), message, error));
    EXPECT_EQ(message.type, 1);
    EXPECT_EQ(message.version, "3.7.1");

    Bytes event = event_payload(0x01020304, "10.0.0.1", "192.168.100.200", 7, Bytes{9, 8, 7});
    ASSERT_TRUE(decode_message(event.data(), event.size(), message, error));
    EXPECT_EQ(message.type, 2);
    EXPECT_EQ(message.time, 0x01020304u);
    EXPECT_EQ(message.device_ip, "10.0.0.1");
    EXPECT_EQ(message.server_ip, "192.168.100.200");
    EXPECT_EQ(message.is_tcp, 7);
    EXPECT_EQ(Bytes(message.packet, message.packet + message.packet_size), (Bytes{9, 8, 7}));

    Bytes bare = event_payload(0, "", "", 0, {});  // N = 8: empty addresses, empty packet
    ASSERT_EQ(bare.size(), 8u);
    ASSERT_TRUE(decode_message(bare.data(), bare.size(), message, error));
    EXPECT_EQ(message.packet_size, 0u);
    EXPECT_TRUE(message.device_ip.empty() && message.server_ip.empty());
}

TEST(CollectorMessage, MalformedFramesNameTheProblem) {
    struct Case {
        Bytes payload;
        const char* error;
    } cases[] = {
        {Bytes{2, 0, 0, 0, 0, 0, 0}, "frame of 7 bytes too short for a DNS event record"},
        {Bytes{1}, "version frame of 1 byte holds no version text"},
        {Bytes{7, 1, 2}, "unknown message type 7 in a frame of 3 bytes"},
        // D = 3 but only the S and is_tcp bytes follow.
        {Bytes{2, 0, 0, 0, 0, 3, 'a', 'b'},
         "device address of 3 bytes overruns the frame of 8 bytes"},
        {Bytes{2, 0, 0, 0, 0, 1, 'a', 2, 'b', 0},
         "server address of 2 bytes overruns the frame of 10 bytes"},
        {Bytes{}, "empty frame (length 0)"},
    };
    for (const auto& c : cases) {
        Message message;
        std::string error;
        EXPECT_FALSE(decode_message(c.payload.data(), c.payload.size(), message, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(CollectorDns, DecodesHeaderAndQuestion) {
    DnsSummary dns;
    Bytes response = dns_packet(0xBEEF, 0x85B3, {"a.b", "c\\d", "e"}, 28);  // qr aa rd ra ad cd
    decode_dns(response.data(), response.size(), dns);
    ASSERT_TRUE(dns.ok) << dns.error;
    EXPECT_EQ(dns.id, 0xBEEF);
    EXPECT_TRUE(dns.qr);
    EXPECT_EQ(dns.opcode, 0);
    EXPECT_EQ(dns.rcode, 3);
    EXPECT_EQ(flag_names(dns.flags), "qr aa rd ra ad cd");
    EXPECT_EQ(dns.qname, "a\\.b.c\\\\d.e.");
    EXPECT_EQ(dns.qtype, 28);
    EXPECT_EQ(flag_names(0x7A4F), "tc");  // opcode, z and rcode bits are not flags
    EXPECT_EQ(flag_names(0x0000), "");
    EXPECT_EQ(rcode_name(12), "RCODE12");
    EXPECT_EQ(qtype_name(65280), "TYPE65280");

    Bytes root = dns_packet(1, 0x2800, {}, 2);  // opcode 5
    decode_dns(root.data(), root.size(), dns);
    ASSERT_TRUE(dns.ok);
    EXPECT_EQ(dns.qname, ".");
    EXPECT_EQ(dns.opcode, 5);

    Bytes no_question = Bytes(12, 0);
    decode_dns(no_question.data(), no_question.size(), dns);
    EXPECT_TRUE(dns.ok);
    EXPECT_FALSE(dns.has_question);
    EXPECT_TRUE(dns.qname.empty());
}

TEST(CollectorDns, HostilePacketsGiveAnErrorNotACrash) {
    const Bytes header = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    struct Case {
        Bytes packet;
        const char* error;
    } cases[] = {
        {Bytes(11, 0), "packet of 11 bytes shorter than a DNS header"},
        {header + Bytes{0xC0, 12},
         "bad question name: compression pointer at offset 12 to 12 does not point backwards "
         "(loop)"},
        // "a", then a pointer back to the "a": a loop through an earlier label.
        {header + Bytes{1, 'a', 0xC0, 12},
         "bad question name: compression pointer at offset 14 to 12 does not point backwards "
         "(loop)"},
        {header + Bytes{0xC0, 40, 0, 0, 1, 0, 1},
         "bad question name: compression pointer at offset 12 to 40 does not point backwards "
         "(loop)"},
        {header + Bytes{0xC0}, "bad question name: compression pointer cut off at offset 12"},
        {header + Bytes{5, 'a', 'b'},
         "bad question name: label at offset 12 runs past the end of the packet"},
        {header + Bytes{1, 'a'},
         "bad question name: name runs past the end of the packet at offset 14"},
        {header, "bad question name: name runs past the end of the packet at offset 12"},
        {header + Bytes{0x41, 0}, "bad question name: unsupported label type 0x40 at offset 12"},
        {header + Bytes{0, 0, 1, 0}, "question cut off after the name at offset 13"},
    };
    for (const auto& c : cases) {
        DnsSummary dns;
        decode_dns(c.packet.data(), c.packet.size(), dns);
        EXPECT_FALSE(dns.ok);
        EXPECT_EQ(dns.error, c.error);
        EXPECT_TRUE(dns.qname.empty());
    }
    // 128 one-byte labels: 257 bytes of name.
    std::vector<std::string> labels(128, "x");
    Bytes long_name = dns_packet(1, 0, labels, 1);
    DnsSummary dns;
    decode_dns(long_name.data(), long_name.size(), dns);
    EXPECT_EQ(dns.error, "bad question name: name longer than 255 bytes");
    // Every truncation of a good packet fails cleanly.
    for (size_t n = 0; n < example_query.size(); ++n) {
        decode_dns(example_query.data(), n, dns);
        EXPECT_FALSE(dns.ok) << n;
        EXPECT_FALSE(dns.error.empty());
    }
}

TEST(CollectorDns, FollowsBackwardPointerChains) {
    // The header's last six bytes double as names: "y." at 6 and a pointer to it at 9. The
    // question "x" points at 9, which points at 6: two hops, each further back.
    Bytes packet = {0, 1, 0, 0, 0, 1, 1, 'y', 0, 0xC0, 6, 0, 1, 'x', 0xC0, 9, 0, 16, 0, 1};
    DnsSummary dns;
    decode_dns(packet.data(), packet.size(), dns);
    ASSERT_TRUE(dns.ok) << dns.error;
    EXPECT_EQ(dns.qname, "x.y.");
    EXPECT_EQ(dns.qtype, 16);  // read after the first pointer, not after the name it leads to
    EXPECT_EQ(dns.qclass, 1);
    // The same chain with the second pointer aimed back at itself.
    packet[10] = 9;
    decode_dns(packet.data(), packet.size(), dns);
    EXPECT_EQ(dns.error,
              "bad question name: compression pointer at offset 9 to 9 does not point backwards "
              "(loop)");
}

TEST(CollectorJson, KnownRecordsAsExactLines) {
    Bytes event = event_payload(0x67748580, "10.0.0.1", "10.0.0.2", 0, example_query);
    Message message;
    std::string error;
    ASSERT_TRUE(decode_message(event.data(), event.size(), message, error));
    DnsSummary dns;
    decode_dns(message.packet, message.packet_size, dns);
    std::string line;
    append_dns_json(line, 3, message, dns);
    EXPECT_EQ(line, std::string("{\"type\":\"dns\",\"conn\":3,\"time\":\"2025-01-01T00:00:00Z\","
                                "\"device\":\"10.0.0.1\",\"server\":\"10.0.0.2\",\"transport\":"
                                "\"udp\",\"length\":29,\"id\":4660,\"qr\":0,\"opcode\":0,\"flags\":"
                                "\"rd\",\"rcode\":0,\"rcode_name\":\"NOERROR\",\"qdcount\":1,"
                                "\"qname\":\"example.com.\",\"qtype\":1,\"qtype_name\":\"A\","
                                "\"packet\":\"") +
                        example_query_hex + "\"}\n");

    Bytes broken = event_payload(0, "::1", "q\"\\", 1, Bytes{0xAB});
    ASSERT_TRUE(decode_message(broken.data(), broken.size(), message, error));
    decode_dns(message.packet, message.packet_size, dns);
    line.clear();
    append_dns_json(line, 1, message, dns);
    EXPECT_EQ(line,
              "{\"type\":\"dns\",\"conn\":1,\"time\":\"1970-01-01T00:00:00Z\",\"device\":\"::1\","
              "\"server\":\"q\\\"\\\\\",\"transport\":\"tcp\",\"length\":1,\"dns_error\":\"packet "
              "of 1 byte shorter than a DNS header\",\"packet\":\"ab\"}\n");

    line.clear();
    append_version_json(line, 2, "3.7.1");
    EXPECT_EQ(line, "{\"type\":\"version\",\"conn\":2,\"version\":\"3.7.1\"}\n");
}

TEST(CollectorJson, EscapesEveryByteAndFormatsTimes) {
    std::string out;
    append_json_string(out, std::string("a\0\x1f\"\\/\n\r\t\x7f\x80\xff~", 13));
    EXPECT_EQ(out, "\"a\\u0000\\u001f\\\"\\\\/\\n\\r\\t\\u007f\\u0080\\u00ff~\"");
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    out.clear();
    append_json_string(out, all);
    // Quotes, one byte each, one more for the five 2-byte escapes, five more for the 158 \u00XX.
    EXPECT_EQ(out.size(), 2u + 256 + 5 + 158 * 5);
    for (char c : out) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
    }

    EXPECT_EQ(rfc3339_time(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(rfc3339_time(0x67748580), "2025-01-01T00:00:00Z");
    EXPECT_EQ(rfc3339_time(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(rfc3339_time(1709251199), "2024-02-29T23:59:59Z");
    EXPECT_EQ(rfc3339_time(4102444800u), "2100-01-01T00:00:00Z");
    EXPECT_EQ(rfc3339_time(0xFFFFFFFFu), "2106-02-07T06:28:15Z");
}

TEST(CollectorStream, NotesEarlyRecordsOnceAndDropsOnError) {
    ConnectionStream stream(4, "127.0.0.1:5000", 1024);
    std::string json;
    std::string notes;
    Bytes event = frame(event_payload(0, "d", "s", 0, example_query));
    ASSERT_TRUE(stream.consume(event.data(), event.size(), json, notes, nullptr));
    ASSERT_TRUE(stream.consume(event.data(), event.size(), json, notes, nullptr));
    EXPECT_EQ(notes, "conn 4 from 127.0.0.1:5000: DNS event record before any version message\n");
    Bytes rest = frame(version_payload()) + event + frame(Bytes{2, 0, 0}) + event;
    EXPECT_FALSE(stream.consume(rest.data(), rest.size(), json, notes, nullptr));
    EXPECT_EQ(notes.substr(notes.find('\n') + 1),
              "conn 4 from 127.0.0.1:5000: frame of 3 bytes too short for a DNS event record; "
              "connection dropped\n");
    // Three records and the version before the bad frame, nothing after it.
    size_t lines = 0;
    for (char c : json) {
        lines += c == '\n';
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(stream.records(), 3u);
    EXPECT_EQ(stream.frames(), 5u);
    EXPECT_EQ(stream.records_before_version(), 2u);
    EXPECT_FALSE(stream.consume(event.data(), event.size(), json, notes, nullptr));
    EXPECT_EQ(stream.records(), 3u);

    ConnectionStream cut(5, "[::1]:6000", 1024);
    Bytes half = frame(version_payload()) + Bytes{0, 0, 0, 9, 2};
    ASSERT_TRUE(cut.consume(half.data(), half.size(), json, notes, nullptr));
    EXPECT_EQ(
        cut.close_note(),
        "conn 5 from [::1]:6000: closed after 1 frame, 5 bytes of an incomplete frame lost\n");
}

uint16_t checksum_of(const uint8_t* data, size_t size, uint32_t sum) {
    for (size_t i = 0; i < size; ++i) {
        sum += i % 2 == 0 ? data[i] << 8 : data[i];
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

uint16_t get16(const Bytes& b, size_t at) {
    return uint16_t(b[at] << 8 | b[at + 1]);
}

TEST(CollectorPcap, BuildsIpv4UdpAndIpv6TcpPackets) {
    Bytes event = event_payload(0, "10.0.0.1", "not-an-address", 0, example_query);
    Message message;
    std::string error;
    ASSERT_TRUE(decode_message(event.data(), event.size(), message, error));
    PacketPlan plan;
    plan.response = true;
    plan.client_port = 40123;
    plan.ip_id = 77;
    Bytes packet;
    ASSERT_TRUE(build_ip_packet(message, plan, packet, error));
    ASSERT_EQ(packet.size(), 20 + 8 + example_query.size());
    EXPECT_EQ(packet[0], 0x45);
    EXPECT_EQ(get16(packet, 2), packet.size());
    EXPECT_EQ(get16(packet, 4), 77);
    EXPECT_EQ(packet[9], 17);
    EXPECT_EQ(checksum_of(packet.data(), 20, 0), 0xFFFF);
    EXPECT_EQ(Bytes(packet.begin() + 12, packet.begin() + 20), (Bytes{0, 0, 0, 0, 10, 0, 0, 1}));
    EXPECT_EQ(get16(packet, 20), 53);  // a response leaves the server's port 53
    EXPECT_EQ(get16(packet, 22), 40123);
    EXPECT_EQ(get16(packet, 24), 8 + example_query.size());
    uint32_t pseudo = checksum_of(packet.data() + 12, 8, 17 + 8 + example_query.size());
    EXPECT_EQ(checksum_of(packet.data() + 20, packet.size() - 20, pseudo), 0xFFFF);
    EXPECT_EQ(Bytes(packet.begin() + 28, packet.end()), example_query);

    Bytes event6 = event_payload(0, "fe80::1", "10.1.2.3", 1, example_query);
    ASSERT_TRUE(decode_message(event6.data(), event6.size(), message, error));
    plan = PacketPlan{};
    plan.seq = 0x01020304;
    ASSERT_TRUE(build_ip_packet(message, plan, packet, error));
    ASSERT_EQ(packet.size(), 40 + 20 + 2 + example_query.size());
    EXPECT_EQ(packet[0], 0x60);
    EXPECT_EQ(get16(packet, 4), 20 + 2 + example_query.size());
    EXPECT_EQ(packet[6], 6);
    EXPECT_EQ(packet[8], 0xFE);  // device first: a query
    Bytes mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 3};
    EXPECT_EQ(Bytes(packet.begin() + 24, packet.begin() + 40), mapped);
    EXPECT_EQ(get16(packet, 40), 40000);
    EXPECT_EQ(get16(packet, 42), 53);
    EXPECT_EQ(get16(packet, 44), 0x0102);
    EXPECT_EQ(packet[53], 0x18);  // PSH|ACK
    EXPECT_EQ(get16(packet, 60), example_query.size());
    pseudo = checksum_of(packet.data() + 8, 32, 6 + 22 + example_query.size());
    EXPECT_EQ(checksum_of(packet.data() + 40, packet.size() - 40, pseudo), 0xFFFF);

    Bytes huge = event_payload(0, "1.1.1.1", "2.2.2.2", 0, Bytes(65508, 0));
    ASSERT_TRUE(decode_message(huge.data(), huge.size(), message, error));
    EXPECT_FALSE(build_ip_packet(message, PacketPlan{}, packet, error));
    EXPECT_EQ(error, "DNS packet of 65508 bytes does not fit one IP packet");
    huge.pop_back();  // 65507 bytes: exactly one full IPv4 datagram
    ASSERT_TRUE(decode_message(huge.data(), huge.size(), message, error));
    EXPECT_TRUE(build_ip_packet(message, PacketPlan{}, packet, error));
    EXPECT_EQ(packet.size(), 65535u);
}

std::string temp_path(const char* name) {
    return "/tmp/tarn-collector-test-" + std::to_string(getpid()) + "-" + name;
}

TEST(CollectorPcap, FileOpensInTshark) {
    std::string path = temp_path("tshark.pcap");
    {
        PcapWriter writer(path);
        std::string error;
        struct Entry {
            const char* device;
            const char* server;
            uint8_t is_tcp;
            Bytes packet;
        } entries[] = {
            {"10.0.0.1", "10.0.0.2", 0, example_query},
            {"10.0.0.1", "10.0.0.2", 0, dns_packet(0x1234, 0x8180, {"example", "com"}, 1)},
            {"2001:db8::1", "2001:db8::53", 1, dns_packet(7, 0x0100, {"six", "test"}, 28)},
            {"2001:db8::1", "2001:db8::53", 1, dns_packet(7, 0x8180, {"six", "test"}, 28)},
            {"2001:db8::1", "2001:db8::53", 1, dns_packet(9, 0x0100, {"again", "test"}, 28)},
            {"10.0.0.3", "10.0.0.2", 1, dns_packet(8, 0x0100, {"tcp4", "test"}, 16)},
        };
        for (const auto& e : entries) {
            Bytes payload = event_payload(0x67748580, e.device, e.server, e.is_tcp, e.packet);
            Message message;
            ASSERT_TRUE(decode_message(payload.data(), payload.size(), message, error));
            DnsSummary dns;
            decode_dns(message.packet, message.packet_size, dns);
            ASSERT_TRUE(writer.write(message, dns, error)) << error;
        }
        ASSERT_TRUE(writer.flush());
    }
    if (tarn::test::command_output("command -v tshark").empty()) {
        std::remove(path.c_str());
        GTEST_SKIP() << "tshark not installed";
    }
    std::string fields = tarn::test::command_output(
        "tshark -r " + path +
        " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -o tcp.check_checksum:TRUE"
        " -T fields -E separator=, -e frame.time_epoch -e dns.qry.name -e dns.flags.response"
        " -e ip.checksum.status -e udp.checksum.status -e tcp.checksum.status -e tcp.seq_raw"
        " -e tcp.ack_raw -e tcp.analysis.flags 2>/dev/null");
    std::remove(path.c_str());
    EXPECT_EQ(fields,
              "1735689600.000000000,example.com,0,1,1,,,,\n"
              "1735689600.000000000,example.com,1,1,1,,,,\n"
              // One stream per device/server pair: each side's sequence number advances by
              // its segment (2 + 26 bytes), the other side acknowledges it; nothing flagged.
              "1735689600.000000000,six.test,0,,,1,1,1,\n"
              "1735689600.000000000,six.test,1,,,1,1,29,\n"
              "1735689600.000000000,again.test,0,,,1,29,29,\n"
              "1735689600.000000000,tcp4.test,0,1,,1,1,1,\n");
}

using tarn::test::Child;

// The port of the collector's first line, "listening on ADDRESS:PORT"; 0 without it.
uint16_t port_of(Child& child) {
    child.read_until([&] { return child.err.find('\n') != std::string::npos; },
                     std::chrono::seconds(5));
    std::string first = child.err.substr(0, child.err.find('\n'));
    if (first.rfind("listening on ", 0) != 0) {
        return 0;
    }
    return static_cast<uint16_t>(std::stoi(first.substr(first.rfind(':') + 1)));
}

int connect_to(int family, uint16_t port) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit = {5, 0};  // no blocking read in a test waits longer than this
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    sockaddr_storage address = {};
    socklen_t length;
    if (family == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        in6.sin6_addr = in6addr_loopback;
        length = sizeof(in6);
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(in4);
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_bytes(int fd, const Bytes& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

#ifdef TARN_COLLECTOR_BINARY
TEST(CollectorProcess, BadConnectionIsDroppedAloneAndStopPrintsTheSummary) {
    std::string pcap = temp_path("process.pcap");
    Child child({TARN_COLLECTOR_BINARY, "--port", "0", "--max-frame", "4096", "--pcap", pcap});
    uint16_t port = port_of(child);
    ASSERT_NE(port, 0) << child.err;
    int good = connect_to(AF_INET, port);
    int bad = connect_to(AF_INET, port);
    int oversized = connect_to(AF_INET, port);
    ASSERT_TRUE(good >= 0 && bad >= 0 && oversized >= 0);
    Bytes event = frame(event_payload(0x67748580, "10.0.0.1", "10.0.0.2", 0, example_query));
    ASSERT_TRUE(send_bytes(good, frame(version_payload()) + event));
    ASSERT_TRUE(send_bytes(bad, frame(version_payload()) + frame(Bytes{2, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(send_bytes(oversized, Bytes{0, 0, 0x10, 0x01}));
    ASSERT_TRUE(child.read_until([&] { return count(child.err, "connection dropped") == 2; },
                                 std::chrono::seconds(5)))
        << child.err;
    // The good connection still works after the others were dropped.
    ASSERT_TRUE(send_bytes(good, event));
    ASSERT_TRUE(child.read_until([&] { return count(child.out, "\"type\":\"dns\"") == 2; },
                                 std::chrono::seconds(5)))
        << child.out;
    char byte;
    EXPECT_EQ(recv(bad, &byte, 1, 0), 0);  // closed by the collector
    close(good);
    close(bad);
    close(oversized);
    ASSERT_TRUE(child.read_until(
        [&] { return child.err.find("closed after 3 frames") != std::string::npos; },
        std::chrono::seconds(5)));
    EXPECT_EQ(child.stop(SIGTERM), 0);

    EXPECT_EQ(child.err.substr(0, child.err.find('\n')),
              "listening on 127.0.0.1:" + std::to_string(port));
    EXPECT_NE(child.err.find(": frame of 7 bytes too short for a DNS event record; connection "
                             "dropped\n"),
              std::string::npos);
    EXPECT_NE(child.err.find(": frame length 4097 exceeds the limit of 4096 bytes; connection "
                             "dropped\n"),
              std::string::npos);
    EXPECT_NE(child.err.find("summary: connections 3 frames 5 records 2 errors 2\n"),
              std::string::npos)
        << child.err;
    size_t dns_line = child.out.find("{\"type\":\"dns\",\"conn\":");
    ASSERT_NE(dns_line, std::string::npos);
    std::string conn =
        child.out.substr(dns_line + 15, child.out.find(',', dns_line + 15) - dns_line - 15);
    EXPECT_EQ(count(child.out, conn + ","),
              3u);                          // version and two records, all from one connection
    EXPECT_EQ(count(child.out, "\n"), 4u);  // plus the bad connection's version line
    FILE* file = std::fopen(pcap.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(std::ftell(file), long(24 + 2 * (16 + 28 + example_query.size())));
    std::fclose(file);
    std::remove(pcap.c_str());
}

TEST(CollectorProcess, ListensOnIpv6AndRejectsBadOptions) {
    Child child({TARN_COLLECTOR_BINARY, "--listen", "::1", "--port", "0"});
    uint16_t port = port_of(child);
    if (port == 0 && child.err.find("cannot listen") != std::string::npos) {
        GTEST_SKIP() << "no IPv6 loopback: " << child.err;
    }
    ASSERT_NE(port, 0) << child.err;
    EXPECT_EQ(child.err.substr(0, child.err.find('\n')),
              "listening on [::1]:" + std::to_string(port));
    int fd = connect_to(AF_INET6, port);
    ASSERT_GE(fd, 0);
    // An event before any version message, split over two sends.
    Bytes event = frame(event_payload(1, "::2", "::1", 1, example_query));
    ASSERT_TRUE(send_bytes(fd, Bytes(event.begin(), event.begin() + 10)));
    usleep(50000);
    ASSERT_TRUE(send_bytes(fd, Bytes(event.begin() + 10, event.end())));
    ASSERT_TRUE(
        child.read_until([&] { return count(child.out, "\n") == 1; }, std::chrono::seconds(5)));
    EXPECT_NE(child.out.find("\"transport\":\"tcp\""), std::string::npos);
    ASSERT_TRUE(child.read_until(
        [&] { return child.err.find("before any version message") != std::string::npos; },
        std::chrono::seconds(5)));
    close(fd);
    EXPECT_EQ(child.stop(SIGINT), 0);
    EXPECT_NE(child.err.find("summary: connections 1 frames 1 records 1 errors 0\n"),
              std::string::npos)
        << child.err;

    for (auto args : std::vector<std::vector<std::string>>{
             {"--port", "65536"}, {"--max-frame", "0"}, {"--listen"}, {"--bogus", "1"}}) {
        args.insert(args.begin(), TARN_COLLECTOR_BINARY);
        Child bad(args);
        EXPECT_EQ(bad.stop(0), 2);
        EXPECT_EQ(bad.err,
                  "usage: collector [--listen ADDR] [--port N] [--pcap FILE] [--max-frame "
                  "BYTES]\n");
    }
}
#endif

}  // namespace
