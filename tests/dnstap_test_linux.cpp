// The Linux capture source: the dnstap protobuf decoder, the Frame Streams reader, and the ETW
// stand-in end to end over a real Unix socket, with a scripted writer and with unbound.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/settings.hpp"
#include "log_capture.hpp"
#include "net/dnstap.hpp"
#include "net/etw_api.hpp"
#include "net/frame_streams.hpp"
#include "net/standin_event.hpp"

namespace tarn::net {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
namespace fs = frame_streams;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes text_value(const std::string& text) {
    Bytes value = bytes_of(text);
    value.push_back(0);
    return value;
}

Bytes le16(uint16_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

void put_be32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// A tiny protobuf writer for hand-built messages.
struct Proto {
    Proto& varint(uint64_t value) {
        do {
            uint8_t byte = value & 0x7F;
            value >>= 7;
            bytes.push_back(static_cast<uint8_t>(byte | (value != 0 ? 0x80 : 0)));
        } while (value != 0);
        return *this;
    }
    Proto& tag(uint32_t field, uint32_t wire) { return varint(uint64_t{field} << 3 | wire); }
    Proto& number(uint32_t field, uint64_t value) { return tag(field, 0).varint(value); }
    Proto& fixed32(uint32_t field, uint32_t value) {
        tag(field, 5);
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    Proto& fixed64(uint32_t field, uint64_t value) {
        tag(field, 1);
        for (int i = 0; i < 8; ++i) {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    Proto& field(uint32_t field, const Bytes& value) {
        tag(field, 2).varint(value.size());
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    Proto& raw(const Bytes& value) {
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    Bytes bytes;
};

// A DNS message with one question: www.example.test, type A.
Bytes dns_message(uint16_t id, uint16_t flags, uint16_t qtype = 1) {
    Bytes packet = {static_cast<uint8_t>(id >> 8),
                    static_cast<uint8_t>(id),
                    static_cast<uint8_t>(flags >> 8),
                    static_cast<uint8_t>(flags),
                    0,
                    1,
                    0,
                    0,
                    0,
                    0,
                    0,
                    0};
    for (const char* label : {"www", "example", "test"}) {
        packet.push_back(static_cast<uint8_t>(std::strlen(label)));
        packet.insert(packet.end(), label, label + std::strlen(label));
    }
    packet.insert(packet.end(),
                  {0, static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype), 0, 1});
    return packet;
}

const Bytes client_address = {192, 0, 2, 7};
const Bytes server_address = {127, 0, 0, 53};
const uint64_t query_seconds = 1735689600;  // 2025-01-01T00:00:00Z
const uint32_t query_nanoseconds = 123456789;

const GUID& other_guid() {
    static const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    return guid;
}

int64_t filetime(uint64_t seconds, uint32_t nanoseconds) {
    return static_cast<int64_t>(seconds) * 10000000 + nanoseconds / 100 + 116444736000000000;
}

// A whole Dnstap frame payload: identity (skipped), type MESSAGE, the message.
Bytes dnstap_frame(uint32_t type, uint32_t protocol, const Bytes& packet, bool with_times = true) {
    Proto message;
    message.number(1, type).number(2, 1).number(3, protocol);
    message.field(4, client_address).field(5, server_address).number(6, 53000);
    if (with_times) {
        message.number(8, query_seconds).fixed32(9, query_nanoseconds);
    }
    if (type % 2 == 1) {
        message.field(10, packet);
    } else {
        if (with_times) {
            message.number(12, query_seconds + 1).fixed32(13, 5000);
        }
        message.field(14, packet);
    }
    Proto dnstap;
    dnstap.field(1, bytes_of("ns1")).number(15, 1).field(14, message.bytes);
    return dnstap.bytes;
}

// ---- protobuf decoder ----

TEST(Dnstap, DecodesTheFieldsOfAMessage) {
    Bytes query = dns_message(0x1234, 0x0100);
    Bytes frame = dnstap_frame(dnstap::client_query, dnstap::udp, query);
    dnstap::Message message;
    ASSERT_TRUE(dnstap::decode(frame.data(), frame.size(), message));
    EXPECT_TRUE(message.has_dnstap_type);
    EXPECT_EQ(message.dnstap_type, 1u);
    EXPECT_TRUE(message.has_message);
    EXPECT_EQ(message.type, 5u);
    EXPECT_EQ(message.socket_family, 1u);
    EXPECT_EQ(message.socket_protocol, 1u);
    EXPECT_EQ(Bytes(message.query_address.data, message.query_address.data + 4), client_address);
    EXPECT_EQ(Bytes(message.response_address.data, message.response_address.data + 4),
              server_address);
    EXPECT_EQ(message.query_port, 53000u);
    EXPECT_EQ(message.query_time_sec, query_seconds);
    EXPECT_EQ(message.query_time_nsec, query_nanoseconds);
    ASSERT_TRUE(message.query_message.present);
    EXPECT_EQ(
        Bytes(message.query_message.data, message.query_message.data + message.query_message.size),
        query);
    EXPECT_FALSE(message.response_message.present);
    EXPECT_FALSE(message.has_response_time);
}

TEST(Dnstap, SkipsUnknownFieldsOfEveryWireTypeAndMergesRepeatedMessages) {
    Proto group;  // field 20 as a group holding a nested group and scalars
    group.tag(20, 3).number(1, 7).tag(21, 3).fixed64(2, 9).tag(21, 4).fixed32(3, 1).tag(20, 4);
    Proto first;
    first.raw(group.bytes).number(1, 6).fixed64(30, ~0ULL).field(31, {1, 2, 3});
    first.number(1000000, 5).fixed32(32, 8).number(6, 1);
    Proto second;
    second.number(6, 4242).field(14, {0xAB});  // a later port wins, as in protobuf
    Proto top;
    top.fixed32(7, 1).field(14, first.bytes).raw(group.bytes).field(14, second.bytes);
    top.number(15, 1).fixed64(99, 3).field(2, bytes_of("version"));
    dnstap::Message message;
    ASSERT_TRUE(dnstap::decode(top.bytes.data(), top.bytes.size(), message));
    EXPECT_EQ(message.type, 6u);
    EXPECT_EQ(message.query_port, 4242u);
    ASSERT_EQ(message.response_message.size, 1u);
    EXPECT_EQ(message.response_message.data[0], 0xAB);
    EXPECT_EQ(message.dnstap_type, 1u);

    // A known field with another wire type is an unknown field, as protobuf has it.
    Proto odd;
    odd.fixed32(14, 5).number(15, 1);
    ASSERT_TRUE(dnstap::decode(odd.bytes.data(), odd.bytes.size(), message));
    EXPECT_FALSE(message.has_message);
}

TEST(Dnstap, RejectsMalformedEncodings) {
    Bytes frame = dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0));
    dnstap::Message message;
    // Cut inside the message field (its length says more than there is).
    for (size_t length = 9; length < frame.size(); length += 7) {
        EXPECT_FALSE(dnstap::decode(frame.data(), length, message)) << length;
    }
    const std::vector<Bytes> malformed = {
        {0x78},              // tag without its value
        {0x78, 0x80, 0x80},  // varint cut off
        {0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},  // 11 bytes
        {0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},        // beyond 64 bits
        {0x72, 0x05, 0x08},                    // length beyond the end
        {0x72, 0x02, 0x0E, 0x00},              // wire type 6 inside
        {0x0F, 0x00},                          // wire type 7
        {0x00, 0x00},                          // field number 0
        {0xA4, 0x01},                          // group end, no start
        {0xA3, 0x01, 0xAC, 0x01},              // group 20 ends as 21
        {0xA3, 0x01, 0x08, 0x01},              // group never ends
        {0x72, 0x81, 0x80, 0x80, 0x80, 0x10},  // length of 4 GiB
    };
    for (const Bytes& bad : malformed) {
        EXPECT_FALSE(dnstap::decode(bad.data(), bad.size(), message))
            << testing::PrintToString(bad);
    }
    Proto deep;  // 33 nested groups: beyond what the decoder follows
    for (int i = 0; i < 33; ++i) {
        deep.tag(20, 3);
    }
    for (int i = 0; i < 33; ++i) {
        deep.tag(20, 4);
    }
    EXPECT_FALSE(dnstap::decode(deep.bytes.data(), deep.bytes.size(), message));
    Proto nested;  // 32 still pass
    for (int i = 0; i < 32; ++i) {
        nested.tag(20, 3);
    }
    for (int i = 0; i < 32; ++i) {
        nested.tag(20, 4);
    }
    EXPECT_TRUE(dnstap::decode(nested.bytes.data(), nested.bytes.size(), message));
}

// ---- conversion into DNS Server events ----

struct Converted {
    USHORT id;
    int64_t timestamp;
    std::vector<std::pair<std::string, Bytes>> properties;
};

Converted convert(const Bytes& frame, int64_t now = 77) {
    dnstap::Message message;
    EXPECT_TRUE(dnstap::decode(frame.data(), frame.size(), message));
    dnstap::Event event;
    Converted result{0, 0, {}};
    EXPECT_TRUE(dnstap::to_event(message, now, event));
    result.id = event.id;
    result.timestamp = event.timestamp;
    for (size_t i = 0; i < event.property_count; ++i) {
        const standin::PropertyValue& p = event.properties[i];
        result.properties.emplace_back(p.name, Bytes(p.data, p.data + p.size));
    }
    return result;
}

TEST(Dnstap, ClientQueryBecomesEvent256InTheProvidersOrder) {
    Bytes query = dns_message(0x1234, 0x0100, 28);
    Converted event = convert(dnstap_frame(dnstap::client_query, dnstap::udp, query));
    EXPECT_EQ(event.id, 256);
    EXPECT_EQ(event.timestamp, filetime(query_seconds, query_nanoseconds));
    std::vector<std::pair<std::string, Bytes>> expected = {
        {"TCP", {0}},
        {"InterfaceIP", text_value("127.0.0.53")},
        {"Source", text_value("192.0.2.7")},
        {"Port", le16(53000)},
        {"XID", le16(0x1234)},
        {"QNAME", text_value("www.example.test.")},
        {"QTYPE", le16(28)},
        {"BufferSize", le16(static_cast<uint16_t>(query.size()))},
        {"PacketData", query}};
    EXPECT_EQ(event.properties, expected);
}

TEST(Dnstap, ClientResponseIs257Or258ByItsRcode) {
    Converted success =
        convert(dnstap_frame(dnstap::client_response, dnstap::tcp, dns_message(7, 0x8180)));
    EXPECT_EQ(success.id, 257);
    EXPECT_EQ(success.timestamp, filetime(query_seconds + 1, 5000));
    ASSERT_EQ(success.properties.size(), 9u);
    EXPECT_EQ(success.properties[0].second, Bytes{1});
    EXPECT_EQ(success.properties[2].first, "Destination");
    EXPECT_EQ(success.properties[2].second, text_value("192.0.2.7"));

    for (uint16_t rcode : {1, 2, 3, 5, 15}) {
        Converted failure = convert(
            dnstap_frame(dnstap::client_response, dnstap::udp, dns_message(7, 0x8180 | rcode)));
        EXPECT_EQ(failure.id, 258) << rcode;
    }
    // Extended flag bits above the RCODE do not make a failure.
    EXPECT_EQ(
        convert(dnstap_frame(dnstap::client_response, dnstap::udp, dns_message(7, 0x81F0))).id,
        257);
    // No DNS message to read an RCODE from.
    EXPECT_EQ(convert(dnstap_frame(dnstap::client_response, dnstap::udp, {0x12, 0x34, 0x81})).id,
              258);
}

TEST(Dnstap, TimesFallBackToTheQueryTimeThenToNow) {
    Proto message;
    message.number(1, dnstap::client_response).number(8, 1000).fixed32(9, 700);
    message.field(14, dns_message(1, 0x8180));
    Proto dnstap;
    dnstap.number(15, 1).field(14, message.bytes);
    EXPECT_EQ(convert(dnstap.bytes).timestamp, filetime(1000, 700));

    Converted untimed = convert(
        dnstap_frame(dnstap::client_response, dnstap::udp, dns_message(1, 0x8180), false), 424242);
    EXPECT_EQ(untimed.timestamp, 424242);

    // A time no FILETIME can hold is no time.
    Proto huge;
    huge.number(1, dnstap::client_query).number(8, ~0ULL).field(10, dns_message(1, 0));
    Proto wrapped;
    wrapped.number(15, 1).field(14, huge.bytes);
    EXPECT_EQ(convert(wrapped.bytes, 99).timestamp, 99);
}

TEST(Dnstap, TransportFlagAndOtherMessageTypes) {
    const std::pair<uint32_t, uint8_t> protocols[] = {{1, 0}, {2, 1}, {3, 1}, {4, 1},
                                                      {5, 0}, {6, 1}, {7, 0}, {0, 0}};
    for (auto [protocol, flag] : protocols) {
        Converted event = convert(dnstap_frame(dnstap::client_query, protocol, dns_message(1, 0)));
        EXPECT_EQ(event.properties[0].second, Bytes{flag}) << protocol;
    }
    // Every other type gets an ID outside 256..258, even one that would wrap 16 bits.
    for (uint32_t type : {1u, 2u, 3u, 4u, 7u, 8u, 13u, 14u, 15u, 65492u, 0xFFFFFFFFu}) {
        Converted event = convert(dnstap_frame(type, dnstap::udp, dns_message(1, 0)));
        EXPECT_TRUE(event.id < 256 || event.id > 258) << type;
        EXPECT_EQ(event.id, 300 + std::min(type, 255u));
    }

    // Only Dnstap messages of type MESSAGE carry a DNS message.
    Proto message;
    message.number(1, dnstap::client_query);
    Proto other;
    other.number(15, 2).field(14, message.bytes);
    dnstap::Message decoded;
    dnstap::Event event;
    ASSERT_TRUE(dnstap::decode(other.bytes.data(), other.bytes.size(), decoded));
    EXPECT_FALSE(dnstap::to_event(decoded, 0, event));
    Proto empty;
    empty.number(15, 1);
    ASSERT_TRUE(dnstap::decode(empty.bytes.data(), empty.bytes.size(), decoded));
    EXPECT_FALSE(dnstap::to_event(decoded, 0, event));
}

std::string text_of_address(const Bytes& raw) {
    dnstap::Field field{raw.data(), static_cast<uint32_t>(raw.size()), true};
    char text[46];
    dnstap::address_text(field, text);
    return text;
}

TEST(Dnstap, AddressTextMatchesInetNtop) {
    std::vector<Bytes> addresses = {
        Bytes(16, 0),
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3, 4},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4},
        {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1},
        {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1},
        {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0x20, 0x01, 0x0D, 0xB8, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1},
    };
    std::mt19937 random(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes address(16);
        for (size_t word = 0; word < 8; ++word) {
            // Mostly zero groups, so that runs of every length and position come up.
            uint32_t value = random() % 3 == 0 ? static_cast<uint32_t>(random()) : 0;
            address[2 * word] = static_cast<uint8_t>(value >> 8);
            address[2 * word + 1] = static_cast<uint8_t>(value);
        }
        if (i % 10 == 0) {
            std::fill(address.begin(), address.begin() + 10, 0);
            address[10] = address[11] = 0xFF;
        }
        addresses.push_back(address);
    }
    for (const Bytes& address : addresses) {
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, address.data(), expected, sizeof expected), nullptr);
        ASSERT_EQ(text_of_address(address), expected);
    }
    EXPECT_EQ(text_of_address({255, 0, 10, 1}), "255.0.10.1");
    EXPECT_EQ(text_of_address({1, 2, 3}), "");
    EXPECT_EQ(text_of_address({}), "");
}

TEST(Dnstap, QuestionNameBestEffort) {
    char text[dnstap::question_name_capacity];
    uint16_t qtype = 0;
    Bytes packet = dns_message(1, 0, 16);
    EXPECT_EQ(dnstap::question_name(packet.data(), packet.size(), text, qtype), 17u);
    EXPECT_STREQ(text, "www.example.test.");
    EXPECT_EQ(qtype, 16);

    Bytes root = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1};
    dnstap::question_name(root.data(), root.size(), text, qtype);
    EXPECT_STREQ(text, ".");
    EXPECT_EQ(qtype, 2);

    Bytes odd = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 4, 'a', '.', 0x07, '\\', 0};
    dnstap::question_name(odd.data(), odd.size(), text, qtype);
    EXPECT_STREQ(text, "a\\.\\007\\\\.");
    EXPECT_EQ(qtype, 0);  // cut before the type

    Bytes pointer = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1};
    EXPECT_EQ(dnstap::question_name(pointer.data(), pointer.size(), text, qtype), 0u);
    EXPECT_STREQ(text, "");
    Bytes cut(packet.begin(), packet.begin() + 20);
    EXPECT_EQ(dnstap::question_name(cut.data(), cut.size(), text, qtype), 0u);
    Bytes no_question = packet;
    no_question[5] = 0;
    EXPECT_EQ(dnstap::question_name(no_question.data(), no_question.size(), text, qtype), 0u);

    // The longest name there is, all bytes escaped, fits the text buffer.
    Bytes longest = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (int label = 0; label < 4; ++label) {
        int length = label < 3 ? 63 : 61;  // 4 * 64 - 2 + root = 255 bytes
        longest.push_back(static_cast<uint8_t>(length));
        longest.insert(longest.end(), length, 0x01);
    }
    longest.push_back(0);
    EXPECT_EQ(dnstap::question_name(longest.data(), longest.size(), text, qtype), 250u * 4 + 4);
    longest[12 + 64 * 3] = 62;  // one byte more: 256 bytes, not a name
    longest.insert(longest.end() - 1, 0x01);
    EXPECT_EQ(dnstap::question_name(longest.data(), longest.size(), text, qtype), 0u);
}

// ---- Frame Streams reader ----

Bytes data_frame(const Bytes& payload) {
    Bytes frame;
    put_be32(frame, static_cast<uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes control_frame(uint32_t type, const std::vector<std::string>& content_types) {
    Bytes body;
    put_be32(body, type);
    for (const std::string& content_type : content_types) {
        put_be32(body, 1);
        put_be32(body, static_cast<uint32_t>(content_type.size()));
        body.insert(body.end(), content_type.begin(), content_type.end());
    }
    Bytes frame;
    put_be32(frame, 0);
    put_be32(frame, static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

const std::string dnstap_type = "protobuf:dnstap.Dnstap";
const Bytes accept_frame = control_frame(1, {dnstap_type});
const Bytes finish_frame = control_frame(5, {});

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct Recorder final : fs::FrameHandler {
    const char* on_data_frame(const uint8_t* data, uint32_t size) override {
        if (throw_on_frame) {
            throw std::runtime_error("callback failed");
        }
        frames.emplace_back(data, data + size);
        return reject_with;
    }
    bool on_reply(const uint8_t* data, size_t size) override {
        replies.emplace_back(data, data + size);
        return true;
    }
    std::vector<Bytes> frames;
    std::vector<Bytes> replies;
    const char* reject_with = nullptr;
    bool throw_on_frame = false;
};

TEST(FrameStreams, EncodesControlFramesByteForByte) {
    uint8_t out[64];
    size_t length =
        fs::encode_control(fs::control_accept, fs::dnstap_content_type, out, sizeof out);
    EXPECT_EQ(Bytes(out, out + length), accept_frame);
    EXPECT_EQ(length, 42u);
    length = fs::encode_control(fs::control_finish, nullptr, out, sizeof out);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 5}));
    EXPECT_EQ(fs::encode_control(fs::control_accept, fs::dnstap_content_type, out, 41), 0u);
}

const std::vector<Bytes> payloads = {{1}, Bytes(300, 0x5A), {2, 3}};

Bytes bidirectional_stream() {
    return joined({control_frame(4, {"protobuf:other", dnstap_type}),
                   control_frame(2, {dnstap_type}), data_frame(payloads[0]),
                   data_frame(payloads[1]), data_frame(payloads[2]), control_frame(3, {})});
}

TEST(FrameStreams, BidirectionalHandshakeAtEveryCut) {
    const Bytes stream = bidirectional_stream();
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        Recorder recorder;
        fs::Reader reader;
        reader.feed(stream.data(), cut, recorder);
        reader.feed(stream.data() + cut, stream.size() - cut, recorder);
        ASSERT_EQ(reader.state(), fs::Reader::State::finished) << reader.failure();
        EXPECT_TRUE(reader.bidirectional());
        EXPECT_EQ(recorder.frames, payloads);
        EXPECT_EQ(recorder.replies, (std::vector<Bytes>{accept_frame, finish_frame}));
    }
    // Byte by byte, with bytes after STOP ignored.
    Bytes longer = stream;
    longer.insert(longer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    Recorder recorder;
    fs::Reader reader;
    for (uint8_t byte : longer) {
        reader.feed(&byte, 1, recorder);
    }
    EXPECT_EQ(reader.state(), fs::Reader::State::finished);
    EXPECT_EQ(recorder.frames, payloads);
    EXPECT_EQ(reader.held(), 0u);
}

TEST(FrameStreams, UnidirectionalStartNeedsNoReply) {
    Bytes stream = joined({control_frame(2, {}), data_frame(payloads[0]), control_frame(3, {})});
    Recorder recorder;
    fs::Reader reader;
    reader.feed(stream.data(), stream.size(), recorder);
    EXPECT_EQ(reader.state(), fs::Reader::State::finished);
    EXPECT_FALSE(reader.bidirectional());
    EXPECT_EQ(recorder.frames, std::vector<Bytes>{payloads[0]});
    EXPECT_TRUE(recorder.replies.empty());
}

std::string failure_of(const Bytes& stream, Recorder& recorder) {
    fs::Reader reader;
    reader.feed(stream.data(), stream.size(), recorder);
    EXPECT_EQ(reader.state(), fs::Reader::State::failed);
    EXPECT_LE(reader.held_capacity(), 8u);
    return reader.failure();
}

TEST(FrameStreams, ProtocolViolationsFailTheConnection) {
    Recorder recorder;
    EXPECT_EQ(failure_of(data_frame({1}), recorder), "data frame before START");
    EXPECT_EQ(failure_of(control_frame(4, {"protobuf:other"}), recorder),
              "READY without content type protobuf:dnstap.Dnstap");
    EXPECT_EQ(failure_of(control_frame(4, {}), recorder),
              "READY without content type protobuf:dnstap.Dnstap");
    EXPECT_EQ(failure_of(control_frame(2, {"protobuf:other"}), recorder),
              "START with a content type other than protobuf:dnstap.Dnstap");
    EXPECT_EQ(failure_of(joined({control_frame(2, {}), control_frame(2, {})}), recorder),
              "START after START");
    EXPECT_EQ(failure_of(joined({control_frame(2, {}), control_frame(4, {dnstap_type})}), recorder),
              "READY after the handshake");
    EXPECT_EQ(failure_of(control_frame(1, {dnstap_type}), recorder),
              "unexpected ACCEPT control frame (type 1)");
    EXPECT_EQ(failure_of(control_frame(9, {}), recorder),
              "unexpected unknown control frame (type 9)");
    EXPECT_EQ(failure_of({0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, recorder),
              "frame of 4294967295 bytes exceeds 262144");
    EXPECT_EQ(failure_of({0, 4, 0, 1}, recorder), "frame of 262145 bytes exceeds 262144");
    EXPECT_EQ(failure_of({0, 0, 0, 0, 0, 0, 2, 1}, recorder),
              "control frame of 513 bytes exceeds 512");
    EXPECT_EQ(failure_of({0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, recorder),
              "control frame of 3 bytes is too short");
    // A field whose length runs past the frame; a content type longer than 256 bytes.
    EXPECT_EQ(failure_of({0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 9}, recorder),
              "malformed READY control frame");
    EXPECT_EQ(failure_of(control_frame(4, {std::string(257, 'x')}), recorder),
              "malformed READY control frame");
    EXPECT_TRUE(recorder.frames.empty());
    EXPECT_TRUE(recorder.replies.empty());

    // The handler's refusal ends the connection with its reason.
    recorder.reject_with = "malformed dnstap message";
    Bytes stream = joined({control_frame(2, {}), data_frame({1}), data_frame({2})});
    EXPECT_EQ(failure_of(stream, recorder), "malformed dnstap message");
    EXPECT_EQ(recorder.frames, std::vector<Bytes>{{1}});
}

TEST(FrameStreams, HeldBytesGrowOnlyWithWhatArrives) {
    Recorder recorder;
    fs::Reader reader;
    Bytes start = control_frame(2, {});
    reader.feed(start.data(), start.size(), recorder);
    // A frame of 200000 bytes announced, 1000 of them sent.
    Bytes frame = data_frame(Bytes(200000, 7));
    reader.feed(frame.data(), 1004, recorder);
    EXPECT_EQ(reader.held(), 1004u);
    EXPECT_LE(reader.held_capacity(), 2048u);
    for (size_t at = 1004; at < frame.size(); at += 50000) {
        reader.feed(frame.data() + at, std::min<size_t>(50000, frame.size() - at), recorder);
        EXPECT_LE(reader.held_capacity(), frame.size());
    }
    ASSERT_EQ(recorder.frames.size(), 1u);
    EXPECT_EQ(recorder.frames[0].size(), 200000u);
    EXPECT_EQ(reader.held(), 0u);
    EXPECT_EQ(reader.state(), fs::Reader::State::started);
}

TEST(FrameStreams, HandlerExceptionLeavesTheReaderFailed) {
    Recorder recorder;
    recorder.throw_on_frame = true;
    fs::Reader reader;
    Bytes stream = joined({control_frame(2, {}), data_frame({1}), data_frame({2})});
    EXPECT_THROW(reader.feed(stream.data(), stream.size(), recorder), std::runtime_error);
    EXPECT_EQ(reader.state(), fs::Reader::State::failed);
    recorder.throw_on_frame = false;
    reader.feed(stream.data(), stream.size(), recorder);
    EXPECT_TRUE(recorder.frames.empty());
}

// ---- the stand-in end to end ----

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tarn-dnstap-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        path = made == nullptr ? "/tmp" : made;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

struct ReadEvent {
    GUID provider;
    USHORT id;
    int64_t timestamp;
    void* context;
    std::vector<std::pair<std::string, Bytes>> properties;

    const Bytes& get(const std::string& name) const {
        for (const auto& property : properties) {
            if (property.first == name) {
                return property.second;
            }
        }
        static const Bytes none;
        return none;
    }
};

// Every event read back through the TDH calls, as the decoder reads them.
ReadEvent read_back(PEVENT_RECORD record) {
    ReadEvent event{record->EventHeader.ProviderId,
                    record->EventHeader.EventDescriptor.Id,
                    record->EventHeader.TimeStamp.QuadPart,
                    record->UserContext,
                    {}};
    ULONG size = 0;
    EXPECT_EQ(TdhGetEventInformation(record, 0, nullptr, nullptr, &size),
              ERROR_INSUFFICIENT_BUFFER);
    Bytes info(size);
    auto* header = reinterpret_cast<TRACE_EVENT_INFO*>(info.data());
    EXPECT_EQ(TdhGetEventInformation(record, 0, nullptr, header, &size), ERROR_SUCCESS);
    for (ULONG i = 0; i < header->PropertyCount; ++i) {
        const uint8_t* name = info.data() + header->EventPropertyInfoArray[i].NameOffset;
        std::string ascii;
        for (const uint8_t* unit = name; unit[0] != 0 || unit[1] != 0; unit += 2) {
            ascii.push_back(static_cast<char>(unit[0]));
        }
        PROPERTY_DATA_DESCRIPTOR descriptor{reinterpret_cast<uintptr_t>(name), 0xFFFFFFFF, 0};
        ULONG value_size = 0;
        EXPECT_EQ(TdhGetPropertySize(record, 0, nullptr, 1, &descriptor, &value_size),
                  ERROR_SUCCESS);
        Bytes value(value_size);
        EXPECT_EQ(TdhGetProperty(record, 0, nullptr, 1, &descriptor, value_size, value.data()),
                  ERROR_SUCCESS);
        event.properties.emplace_back(ascii, value);
    }
    return event;
}

struct Consumer {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ReadEvent> events;
    std::atomic<int> buffer_calls{0};
    std::atomic<bool> stop_when_idle{false};
    std::atomic<bool> stop_after_events{false};
    std::atomic<bool> throw_on_event{false};

    static void on_event(PEVENT_RECORD record) {
        auto* self = static_cast<Consumer*>(record->UserContext);
        if (self->throw_on_event) {
            throw std::runtime_error("callback failed");
        }
        ReadEvent event = read_back(record);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back(std::move(event));
        self->changed.notify_all();
    }
    static ULONG on_buffer(PEVENT_TRACE_LOGFILEA logfile) {
        auto* self = static_cast<Consumer*>(logfile->Context);
        ++self->buffer_calls;
        std::lock_guard<std::mutex> lock(self->mutex);
        bool stop = self->stop_when_idle || (self->stop_after_events && !self->events.empty());
        return stop ? FALSE : TRUE;
    }

    bool wait_for(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return events.size() >= count; });
    }
    std::vector<ReadEvent> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

std::vector<uint8_t> properties_block(const std::string& name) {
    std::vector<uint8_t> block(sizeof(EVENT_TRACE_PROPERTIES) + name.size() + 1);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    return block;
}

std::string fresh_session_name() {
    static int count = 0;
    return "standin-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

// A session at a socket in its own directory, consumed by ProcessTrace on a thread.
class Trace {
  public:
    explicit Trace(bool enable = true) : socket_path(directory.path + "/dnstap.sock") {
        name = fresh_session_name();
        config::dnstap_socket = socket_path;
        std::vector<uint8_t> block = properties_block(name);
        started = StartTraceA(&controller, name.c_str(),
                              reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data()));
        if (started == ERROR_SUCCESS && enable) {
            EXPECT_EQ(EnableTraceEx2(controller, &standin::dns_server_guid, 1, 4, 0, 0, 0, nullptr),
                      ERROR_SUCCESS);
        }
        std::memset(&logfile, 0, sizeof logfile);
        logfile.LoggerName = const_cast<char*>(name.c_str());
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
        logfile.BufferCallback = Consumer::on_buffer;
        logfile.EventRecordCallback = Consumer::on_event;
        logfile.Context = &consumer;
    }
    ~Trace() {
        if (worker.joinable()) {
            CloseTrace(handle);
            worker.join();
        }
    }

    void open() {
        handle = OpenTraceA(&logfile);
        ASSERT_NE(handle, INVALID_PROCESSTRACE_HANDLE);
    }
    void run() {
        if (worker.joinable()) {
            worker.join();
        }
        finished = false;
        worker = std::thread([this] {
            try {
                result = ProcessTrace(&handle, 1, nullptr, nullptr);
            } catch (const std::exception& failure) {
                thrown = failure.what();
            }
            std::lock_guard<std::mutex> lock(consumer.mutex);
            finished = true;
            consumer.changed.notify_all();
        });
    }
    void start() {
        ASSERT_EQ(started, ERROR_SUCCESS);
        open();
        run();
    }
    bool wait_finished(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(consumer.mutex);
        return consumer.changed.wait_for(lock, limit, [&] { return finished; });
    }

    TempDir directory;
    std::string socket_path;
    std::string name;
    ULONG started = 0;
    TRACEHANDLE controller = 0;
    EVENT_TRACE_LOGFILEA logfile;
    TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
    Consumer consumer;
    std::thread worker;
    bool finished = false;
    ULONG result = 12345;
    std::string thrown;
};

// The DNS server's side of a Frame Streams connection.
class Writer {
  public:
    explicit Writer(const std::string& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Writer() { ::close(fd); }

    void send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Up to size bytes, waiting at most about limit for them.
    Bytes receive(size_t size, std::chrono::milliseconds limit = 3000ms) {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) {
                continue;
            }
            uint8_t buffer[512];
            ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - got.size()), 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    // True once the other side closed the connection.
    bool closed(std::chrono::milliseconds limit = 3000ms) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) {
                continue;
            }
            uint8_t byte;
            ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
        }
        return false;
    }
    void handshake() {
        send(control_frame(4, {dnstap_type}));
        EXPECT_EQ(receive(accept_frame.size()), accept_frame);
        send(control_frame(2, {dnstap_type}));
    }
    void finish() {
        send(control_frame(3, {}));
        EXPECT_EQ(receive(finish_frame.size()), finish_frame);
        EXPECT_TRUE(closed());
    }

    int fd = -1;
    bool connected = false;
};

TEST(EtwStandin, QueryAndFailedResponseEndToEnd) {
    Trace trace;
    trace.start();
    Writer writer(trace.socket_path);
    ASSERT_TRUE(writer.connected);
    writer.handshake();
    Bytes query = dns_message(0x4242, 0x0100);
    Bytes response = dns_message(0x4242, 0x8183);
    writer.send(joined({data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, query)),
                        data_frame(dnstap_frame(dnstap::client_response, dnstap::udp, response))}));
    writer.finish();
    ASSERT_TRUE(trace.consumer.wait_for(2));
    std::vector<ReadEvent> events = trace.consumer.snapshot();
    ASSERT_EQ(events.size(), 2u);

    const ReadEvent& received = events[0];
    EXPECT_TRUE(received.provider == standin::dns_server_guid);
    EXPECT_EQ(received.id, 256);
    EXPECT_EQ(received.context, &trace.consumer);
    EXPECT_EQ(received.timestamp, filetime(query_seconds, query_nanoseconds));
    std::vector<std::string> names;
    for (const auto& property : received.properties) {
        names.push_back(property.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"TCP", "InterfaceIP", "Source", "Port", "XID",
                                               "QNAME", "QTYPE", "BufferSize", "PacketData"}));
    EXPECT_EQ(received.get("TCP"), Bytes{0});
    EXPECT_EQ(received.get("InterfaceIP"), text_value("127.0.0.53"));
    EXPECT_EQ(received.get("Source"), text_value("192.0.2.7"));
    EXPECT_EQ(received.get("XID"), le16(0x4242));
    EXPECT_EQ(received.get("QNAME"), text_value("www.example.test."));
    EXPECT_EQ(received.get("PacketData"), query);

    const ReadEvent& answered = events[1];
    EXPECT_EQ(answered.id, 258);
    EXPECT_EQ(answered.timestamp, filetime(query_seconds + 1, 5000));
    EXPECT_EQ(answered.get("Destination"), text_value("192.0.2.7"));
    EXPECT_EQ(answered.get("PacketData"), response);
    EXPECT_GE(trace.consumer.buffer_calls.load(), 1);
}

TEST(EtwStandin, CloseTraceFromAnotherThreadEndsProcessing) {
    Trace trace;
    trace.start();
    std::this_thread::sleep_for(100ms);  // let ProcessTrace reach its wait
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(CloseTrace(trace.handle), ERROR_SUCCESS);
    ASSERT_TRUE(trace.wait_finished(3000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    trace.worker.join();
    EXPECT_EQ(trace.result, ERROR_SUCCESS);
    EXPECT_EQ(CloseTrace(trace.handle), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ProcessTrace(&trace.handle, 1, nullptr, nullptr), ERROR_INVALID_HANDLE);

    // The session is still there for the next consumer, which gets what is written now.
    trace.open();
    trace.run();
    Writer writer(trace.socket_path);
    writer.handshake();
    writer.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::tcp, dns_message(1, 0))));
    ASSERT_TRUE(trace.consumer.wait_for(1));
    EXPECT_EQ(trace.consumer.snapshot()[0].get("TCP"), Bytes{1});
}

TEST(EtwStandin, BufferCallbackEndsProcessing) {
    Trace trace;
    trace.consumer.stop_when_idle = true;
    trace.start();
    // Called at least once a second without any traffic.
    ASSERT_TRUE(trace.wait_finished(3000ms));
    trace.worker.join();
    EXPECT_EQ(trace.result, ERROR_SUCCESS);
    EXPECT_EQ(trace.consumer.buffer_calls.load(), 1);

    // And after a batch of events.
    trace.consumer.stop_when_idle = false;
    trace.consumer.stop_after_events = true;
    trace.run();
    Writer writer(trace.socket_path);
    writer.handshake();
    writer.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0))));
    ASSERT_TRUE(trace.wait_finished(3000ms));
    EXPECT_EQ(trace.result, ERROR_SUCCESS);
    EXPECT_EQ(trace.consumer.snapshot().size(), 1u);
}

TEST(EtwStandin, HostilePeersAreDroppedOthersKeepDelivering) {
    test::LogCapture log;
    Trace trace;
    trace.start();
    Writer good(trace.socket_path);
    good.handshake();
    good.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0))));
    ASSERT_TRUE(trace.consumer.wait_for(1));

    Writer garbage(trace.socket_path);
    garbage.send(bytes_of("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    Writer huge(trace.socket_path);
    huge.send({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    Writer broken(trace.socket_path);
    broken.handshake();
    broken.send(data_frame({0x0F, 0x00}));
    Writer stranger(trace.socket_path);
    stranger.send(control_frame(4, {"protobuf:other"}));
    EXPECT_TRUE(garbage.closed());
    EXPECT_TRUE(huge.closed());
    EXPECT_TRUE(broken.closed());
    EXPECT_TRUE(stranger.closed());

    good.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(2, 0))));
    ASSERT_TRUE(trace.consumer.wait_for(2));
    EXPECT_EQ(trace.consumer.snapshot()[1].get("XID"), le16(2));
    good.finish();

    std::vector<std::string> lines = log.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "ERROR - dnstap connection dropped: READY without content type "
                         "protobuf:dnstap.Dnstap",
                         "ERROR - dnstap connection dropped: frame of 1195725856 bytes exceeds "
                         "262144",
                         "ERROR - dnstap connection dropped: frame of 4294967295 bytes exceeds "
                         "262144",
                         "ERROR - dnstap connection dropped: malformed dnstap message"}));
}

TEST(EtwStandin, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    test::LogCapture log;
    Trace trace;
    trace.start();
    std::vector<std::unique_ptr<Writer>> writers;
    for (int i = 0; i < 64; ++i) {
        writers.push_back(std::make_unique<Writer>(trace.socket_path));
        ASSERT_TRUE(writers.back()->connected);
    }
    // All 64 taken before the next one comes.
    writers.back()->handshake();
    Writer extra(trace.socket_path);
    EXPECT_TRUE(extra.closed());
    // The line follows the close.
    for (int i = 0; i < 100 && log.lines().empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "ERROR - dnstap connections refused: 1 beyond the limit of 64"});
    writers.front()->handshake();
    writers.front()->send(
        data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(9, 0))));
    ASSERT_TRUE(trace.consumer.wait_for(1));

    // A place freed is a place for the next one.
    writers.pop_back();
    std::this_thread::sleep_for(200ms);
    Writer next(trace.socket_path);
    next.handshake();
    next.finish();
}

TEST(EtwStandin, NothingIsDeliveredBeforeTheProviderIsEnabled) {
    Trace trace(false);
    trace.start();
    Writer early(trace.socket_path);
    early.handshake();
    early.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0))));
    early.finish();  // FINISH comes after the data frame was read
    EXPECT_TRUE(trace.consumer.snapshot().empty());

    // Other providers change nothing.
    EXPECT_EQ(EnableTraceEx2(trace.controller, &other_guid(), 1, 4, 0, 0, 0, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(EnableTraceEx2(trace.controller, &standin::dns_server_guid, 1, 4, 0, 0, 0, nullptr),
              ERROR_SUCCESS);
    Writer late(trace.socket_path);
    late.handshake();
    late.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(2, 0))));
    late.finish();
    ASSERT_TRUE(trace.consumer.wait_for(1));
    std::vector<ReadEvent> events = trace.consumer.snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].get("XID"), le16(2));
}

TEST(EtwStandin, CallbackExceptionPropagatesAndTheSessionStaysUsable) {
    Trace trace;
    trace.consumer.throw_on_event = true;
    trace.start();
    Writer writer(trace.socket_path);
    writer.handshake();
    writer.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0))));
    ASSERT_TRUE(trace.wait_finished(3000ms));
    EXPECT_EQ(trace.thrown, "callback failed");
    // Its stream position is lost with the exception: that connection is closed.
    EXPECT_TRUE(writer.closed());

    trace.consumer.throw_on_event = false;
    trace.run();
    Writer again(trace.socket_path);
    again.handshake();
    again.send(data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(3, 0))));
    ASSERT_TRUE(trace.consumer.wait_for(1));
    EXPECT_EQ(trace.consumer.snapshot()[0].get("XID"), le16(3));
}

TEST(EtwStandin, ControllerAndConsumerCallsCheckTheirArguments) {
    Trace trace;
    ASSERT_EQ(trace.started, ERROR_SUCCESS);
    // The name is the session's: a second start finds it, whatever the socket.
    TRACEHANDLE again = 777;
    std::vector<uint8_t> block = properties_block(trace.name);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    EXPECT_EQ(StartTraceA(&again, trace.name.c_str(), properties), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(again, 777u);

    std::string name = fresh_session_name();
    std::vector<uint8_t> good = properties_block(name);
    auto with = [&](auto change) {
        std::vector<uint8_t> changed = good;
        change(*reinterpret_cast<EVENT_TRACE_PROPERTIES*>(changed.data()));
        TRACEHANDLE handle = 0;
        return StartTraceA(&handle, name.c_str(),
                           reinterpret_cast<EVENT_TRACE_PROPERTIES*>(changed.data()));
    };
    const ULONG invalid = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(with([](EVENT_TRACE_PROPERTIES& p) { p.Wnode.BufferSize -= 1; }), invalid);
    EXPECT_EQ(with([](EVENT_TRACE_PROPERTIES& p) { p.LoggerNameOffset = 100; }), invalid);
    EXPECT_EQ(with([](EVENT_TRACE_PROPERTIES& p) { p.LoggerNameOffset += 1; }), invalid);
    EXPECT_EQ(with([](EVENT_TRACE_PROPERTIES& p) { p.LogFileMode = 0; }), invalid);
    EXPECT_EQ(with([](EVENT_TRACE_PROPERTIES& p) { p.Wnode.Flags = 0; }), invalid);

    EXPECT_EQ(EnableTraceEx2(424242, &standin::dns_server_guid, 1, 4, 0, 0, 0, nullptr),
              ERROR_INVALID_HANDLE);

    EVENT_TRACE_LOGFILEA logfile = trace.logfile;
    logfile.LoggerName = const_cast<char*>("no-such-session");
    SetLastError(0);
    EXPECT_EQ(OpenTraceA(&logfile), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    logfile = trace.logfile;
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    EXPECT_EQ(OpenTraceA(&logfile), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), invalid);
    logfile = trace.logfile;
    logfile.EventRecordCallback = nullptr;
    EXPECT_EQ(OpenTraceA(&logfile), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), invalid);

    trace.open();
    EXPECT_EQ(OpenTraceA(&trace.logfile), INVALID_PROCESSTRACE_HANDLE);  // one consumer at a time
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    TRACEHANDLE unknown = trace.handle + 1000;
    EXPECT_EQ(ProcessTrace(&unknown, 1, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ProcessTrace(&trace.handle, 2, nullptr, nullptr), invalid);
    EXPECT_EQ(CloseTrace(unknown), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CloseTrace(INVALID_PROCESSTRACE_HANDLE), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CloseTrace(trace.handle), ERROR_SUCCESS);
    EXPECT_EQ(CloseTrace(trace.handle), ERROR_INVALID_HANDLE);
}

mode_t mode_of(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    return status.st_mode & 07777;
}

ULONG start_at(const std::string& path) {
    config::dnstap_socket = path;
    std::string name = fresh_session_name();
    std::vector<uint8_t> block = properties_block(name);
    TRACEHANDLE handle = 0;
    return StartTraceA(&handle, name.c_str(),
                       reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data()));
}

TEST(EtwStandin, SocketIsOwnerAndGroupOnlyWhateverTheUmask) {
    TempDir directory;
    for (mode_t mask : {0000, 0022, 0077}) {
        SCOPED_TRACE(mask);
        std::string path = directory.path + "/mask" + std::to_string(mask) + ".sock";
        mode_t saved = ::umask(mask);
        ULONG started = start_at(path);
        ::umask(saved);
        ASSERT_EQ(started, ERROR_SUCCESS);
        EXPECT_EQ(mode_of(path), 0660u);
    }
}

TEST(EtwStandin, StaleSocketsAreReplacedOtherFilesAndLiveSocketsAreNot) {
    TempDir directory;
    std::string stale = directory.path + "/stale.sock";
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, stale.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);  // the file stays, nobody listens
    }
    EXPECT_EQ(start_at(stale), ERROR_SUCCESS);
    Writer reaches(stale);
    EXPECT_TRUE(reaches.connected);

    // That socket is live now: another session may not take it over.
    EXPECT_EQ(start_at(stale), static_cast<ULONG>(EADDRINUSE));
    Writer still(stale);
    EXPECT_TRUE(still.connected);

    std::string regular = directory.path + "/regular";
    std::ofstream(regular) << "keep me";
    EXPECT_EQ(start_at(regular), static_cast<ULONG>(EADDRINUSE));
    std::ifstream kept(regular);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");

    EXPECT_EQ(start_at(directory.path + "/missing/dnstap.sock"), static_cast<ULONG>(ENOENT));
    EXPECT_EQ(start_at(directory.path + "/" + std::string(120, 'x')),
              static_cast<ULONG>(ENAMETOOLONG));
}

// ---- with a real DNS server ----

uint16_t free_port() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
        int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        bool both = ::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(tcp);
        ::close(udp);
        if (both) {
            return ntohs(address.sin_port);
        }
    }
    return 0;
}

class Process {
  public:
    explicit Process(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
    }
    ~Process() { stop(); }
    void stop() {
        if (pid <= 0) {
            return;
        }
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    pid_t pid = -1;
};

std::string run_dig(const std::string& arguments) {
    std::string command = "timeout 10 dig " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    ::pclose(pipe);
    return output;
}

// The first event with that ID and transport flag, if any.
const ReadEvent* find_event(const std::vector<ReadEvent>& events, USHORT id, uint8_t tcp) {
    for (const ReadEvent& event : events) {
        if (event.id == id && event.get("TCP") == Bytes{tcp}) {
            return &event;
        }
    }
    return nullptr;
}

void expect_dns_message(const ReadEvent& event, bool response) {
    const Bytes& packet = event.get("PacketData");
    ASSERT_GE(packet.size(), 12u);
    EXPECT_EQ((packet[2] & 0x80) != 0, response);
    EXPECT_EQ(event.get("BufferSize"), le16(static_cast<uint16_t>(packet.size())));
    char name[dnstap::question_name_capacity];
    uint16_t qtype = 0;
    dnstap::question_name(packet.data(), packet.size(), name, qtype);
    EXPECT_STREQ(name, "www.example.test.");
    EXPECT_EQ(qtype, 1);
    EXPECT_EQ(event.get("QNAME"), text_value("www.example.test."));
    EXPECT_EQ(event.get(response ? "Destination" : "Source"), text_value("127.0.0.1"));
    EXPECT_EQ(event.get("InterfaceIP"), text_value("127.0.0.1"));
    EXPECT_EQ(event.get("XID"), le16(static_cast<uint16_t>(packet[0] << 8 | packet[1])));
    // The server's own time of the message, as a FILETIME of about now.
    int64_t now = filetime(static_cast<uint64_t>(std::time(nullptr)), 0);
    EXPECT_LT(std::abs(event.timestamp - now), int64_t{600} * 10000000);
    if (response) {
        // The answer's address, 192.0.2.80, is in the packet.
        const Bytes answer = {192, 0, 2, 80};
        EXPECT_NE(std::search(packet.begin(), packet.end(), answer.begin(), answer.end()),
                  packet.end());
    }
}

TEST(EtwStandin, RealUnboundOverUdpAndTcp) {
    if (::access("/usr/sbin/unbound", X_OK) != 0 || ::access("/usr/bin/dig", X_OK) != 0) {
        GTEST_SKIP() << "unbound or dig not installed";
    }
    Trace trace;
    trace.start();
    uint16_t port = free_port();
    ASSERT_NE(port, 0);
    const std::string& dir = trace.directory.path;
    std::string config = dir + "/unbound.conf";
    std::ofstream(config) << "server:\n"
                          << "    interface: 127.0.0.1\n"
                          << "    port: " << port << "\n"
                          << "    do-ip6: no\n"
                          << "    do-daemonize: no\n"
                          << "    username: \"\"\n"
                          << "    chroot: \"\"\n"
                          << "    directory: \"" << dir << "\"\n"
                          << "    pidfile: \"" << dir << "/unbound.pid\"\n"
                          << "    logfile: \"" << dir << "/unbound.log\"\n"
                          << "    use-syslog: no\n"
                          << "    num-threads: 1\n"
                          << "    module-config: \"iterator\"\n"
                          << "    local-zone: \"example.test.\" static\n"
                          << "    local-data: \"www.example.test. 300 IN A 192.0.2.80\"\n"
                          << "remote-control:\n"
                          << "    control-enable: no\n"
                          << "dnstap:\n"
                          << "    dnstap-enable: yes\n"
                          << "    dnstap-socket-path: \"" << trace.socket_path << "\"\n"
                          << "    dnstap-send-identity: no\n"
                          << "    dnstap-send-version: no\n"
                          << "    dnstap-log-client-query-messages: yes\n"
                          << "    dnstap-log-client-response-messages: yes\n";
    Process unbound({"/usr/sbin/unbound", "-d", "-c", config});
    ASSERT_GT(unbound.pid, 0);

    std::string query =
        "@127.0.0.1 -p " + std::to_string(port) + " www.example.test A +tries=1 +time=2";
    std::string answer;
    for (int attempt = 0; attempt < 20 && answer.find("192.0.2.80") == std::string::npos;
         ++attempt) {
        std::this_thread::sleep_for(250ms);
        answer = run_dig(query);
    }
    ASSERT_NE(answer.find("192.0.2.80"), std::string::npos) << answer;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<ReadEvent> events;
    while (std::chrono::steady_clock::now() < deadline) {
        events = trace.consumer.snapshot();
        if (find_event(events, 256, 0) != nullptr && find_event(events, 257, 0) != nullptr) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    const ReadEvent* udp_query = find_event(events, 256, 0);
    const ReadEvent* udp_response = find_event(events, 257, 0);
    ASSERT_NE(udp_query, nullptr);
    ASSERT_NE(udp_response, nullptr);
    expect_dns_message(*udp_query, false);
    expect_dns_message(*udp_response, true);

    EXPECT_NE(run_dig(query + " +tcp").find("192.0.2.80"), std::string::npos);
    deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        events = trace.consumer.snapshot();
        if (find_event(events, 256, 1) != nullptr && find_event(events, 257, 1) != nullptr) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    const ReadEvent* tcp_query = find_event(events, 256, 1);
    const ReadEvent* tcp_response = find_event(events, 257, 1);
    ASSERT_NE(tcp_query, nullptr);
    ASSERT_NE(tcp_response, nullptr);
    expect_dns_message(*tcp_query, false);
    expect_dns_message(*tcp_response, true);
    unbound.stop();
}

}  // namespace
}  // namespace tarn::net
