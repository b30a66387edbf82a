// The Linux capture source: the dnstap protobuf decoder, the Frame Streams reader, and the ETW
// stand-in end to end over a real Unix socket, with scripted and hostile writers.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dnstap_harness_linux.hpp"
#include "net/etw_api.hpp"
#include "net/standin/dnstap_event.hpp"
#include "net/standin/frame_streams.hpp"
#include "net/standin/standin_event.hpp"

namespace tarn::net {
namespace {

using namespace std::chrono_literals;
using namespace tarn::test;
namespace fs = frame_streams;

TEST(Dnstap, DecodesKnownFieldsAndSkipsUnknownOnesOfEveryWireType) {
    Proto group;  // a group holding a nested group and scalars
    group.tag(20, 3).number(1, 7).tag(21, 3).fixed(2, 9, 8).tag(21, 4).fixed(3, 1, 4).tag(20, 4);
    Bytes query = dns_message(0x1234, 0x0100);
    Proto first;
    first.raw(group.bytes).number(1, 5).number(3, 2).fixed(30, ~0ULL, 8).field(4, {10, 0, 0, 1});
    first.number(1000000, 5).number(6, 1).number(8, 77).fixed(9, 88, 4).field(10, query);
    Proto second;  // a repeated message merges; its later port wins, as in protobuf
    second.number(6, 4242).fixed(10, 1, 4);  // a known number with another wire type is unknown
    Proto top;
    top.fixed(7, 1, 4).field(14, first.bytes).raw(group.bytes).field(14, second.bytes);
    top.number(15, 1).field(2, {'v'});
    dnstap::Message message;
    ASSERT_TRUE(dnstap::decode(top.bytes.data(), top.bytes.size(), message));
    EXPECT_TRUE(message.has_message && message.has_dnstap_type);
    EXPECT_EQ(message.dnstap_type, 1u);
    EXPECT_EQ(message.type, 5u);
    EXPECT_EQ(message.socket_protocol, 2u);
    EXPECT_EQ(Bytes(message.query_address.data, message.query_address.data + 4),
              (Bytes{10, 0, 0, 1}));
    EXPECT_FALSE(message.response_address.present);
    EXPECT_EQ(message.query_port, 4242u);
    EXPECT_EQ(message.query_time_sec, 77u);
    EXPECT_EQ(message.query_time_nsec, 88u);
    EXPECT_FALSE(message.has_response_time);
    EXPECT_EQ(
        Bytes(message.query_message.data, message.query_message.data + message.query_message.size),
        query);
}

TEST(Dnstap, RejectsMalformedEncodings) {
    Bytes frame = dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(1, 0));
    dnstap::Message message;
    for (size_t length = 9; length < frame.size(); length += 7) {  // inside the message field
        EXPECT_FALSE(dnstap::decode(frame.data(), length, message)) << length;
    }
    const std::vector<Bytes> malformed = {
        {0x78},                                                                    // no value
        {0x78, 0x80, 0x80},                                                        // varint cut
        {0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},  // 11 bytes
        {0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},        // > 64 bits
        {0x72, 0x05, 0x08},                    // length beyond the end
        {0x72, 0x81, 0x80, 0x80, 0x80, 0x10},  // length of 4 GiB
        {0x72, 0x02, 0x0E, 0x00},              // wire type 6 inside the message
        {0x0F, 0x00},                          // wire type 7
        {0x00, 0x00},                          // field number 0
        {0xA4, 0x01},                          // group end without a start
        {0xA3, 0x01, 0xAC, 0x01},              // group 20 ends as 21
        {0xA3, 0x01, 0x08, 0x01},              // group never ends
    };
    for (const Bytes& bad : malformed) {
        EXPECT_FALSE(dnstap::decode(bad.data(), bad.size(), message))
            << testing::PrintToString(bad);
    }
    for (int depth : {32, 33}) {  // nesting the decoder follows, and one level more
        Proto deep;
        for (int i = 0; i < depth; ++i) {
            deep.tag(20, 3);
        }
        for (int i = 0; i < depth; ++i) {
            deep.tag(20, 4);
        }
        EXPECT_EQ(dnstap::decode(deep.bytes.data(), deep.bytes.size(), message), depth == 32);
    }
}

// The message as a DNS server sends it, without times, with fields left out or added.
Bytes message_with(uint32_t type, const std::vector<uint32_t>& left_out, const Proto& extra = {}) {
    Bytes packet = dns_message(9, type % 2 == 1 ? 0x0100 : 0x8180);
    return dnstap_frame(type, 1, packet, false, left_out, extra.bytes);
}

struct Converted {
    dnstap::Outcome outcome;
    USHORT id = 0;
    int64_t timestamp = 0;
    Properties properties;  // none unless the outcome is an event
};

Converted convert(const Bytes& frame, int64_t now = 77) {
    dnstap::Message message;
    dnstap::Event event;
    Converted result;
    EXPECT_TRUE(dnstap::decode(frame.data(), frame.size(), message));
    result.outcome = dnstap::to_event(message, now, event);
    if (result.outcome != dnstap::Outcome::event) {
        return result;
    }
    result.id = event.id;
    result.timestamp = event.timestamp;
    for (size_t i = 0; i < event.property_count; ++i) {
        const standin::PropertyValue& p = event.properties[i];
        std::string name;
        for (size_t unit = 0; unit < p.name_length; ++unit) {
            name += static_cast<char>(p.name_utf16[2 * unit]);  // ASCII names: the low bytes
        }
        result.properties.emplace_back(name, Bytes(p.data, p.data + p.size));
    }
    return result;
}

TEST(Dnstap, MessagesBecomePacketEventsInTheProvidersOrder) {
    Bytes query = dns_message(0x1234, 0x0100, 28);
    Converted received = convert(dnstap_frame(dnstap::client_query, dnstap::udp, query));
    EXPECT_EQ(received.id, 256);
    EXPECT_EQ(received.timestamp, filetime_of(query_seconds, query_nanoseconds));
    EXPECT_EQ(received.properties,
              (Properties{{"TCP", {0}},
                          {"InterfaceIP", text("127.0.0.53")},
                          {"Source", text("192.0.2.7")},
                          {"Port", le16(53000)},
                          {"BufferSize", le16(static_cast<unsigned>(query.size()))},
                          {"PacketData", query}}));

    Converted answered =
        convert(dnstap_frame(dnstap::client_response, dnstap::tcp, dns_message(7, 0x8180)));
    EXPECT_EQ(answered.id, 257);
    EXPECT_EQ(answered.timestamp, filetime_of(query_seconds + 1, 5000));
    EXPECT_EQ(answered.properties.at(0).second, Bytes{1});
    EXPECT_EQ(answered.properties.at(2),
              (std::pair<std::string, Bytes>{"Destination", text("192.0.2.7")}));
    // The RCODE is the low nibble of byte 3; a message too short to have one is no success.
    const std::pair<Bytes, USHORT> responses[] = {{dns_message(7, 0x8183), 258},
                                                  {dns_message(7, 0x818F), 258},
                                                  {dns_message(7, 0x81F0), 257},
                                                  {{0x12, 0x34, 0x81}, 258}};
    for (const auto& [packet, id] : responses) {
        EXPECT_EQ(convert(dnstap_frame(dnstap::client_response, dnstap::udp, packet)).id, id);
    }
    // Without its own time a response takes the query's, without any the current time.
    Proto late;
    late.number(8, 1000).fixed(9, 700, 4);
    EXPECT_EQ(convert(message_with(6, {}, late)).timestamp, filetime_of(1000, 700));
    EXPECT_EQ(convert(dnstap_frame(6, 1, dns_message(1, 0), false), 4242).timestamp, 4242);
    Proto huge;  // a time no FILETIME can hold is no time
    huge.number(8, ~0ULL);
    EXPECT_EQ(convert(message_with(5, {}, huge), 99).timestamp, 99);
}

TEST(Dnstap, AnsweredQueriesBecomeEventsOtherTrafficIsIgnoredIncompleteIsDropped) {
    using O = dnstap::Outcome;
    // Authoritative and client-facing messages alike; the server's own traffic never.
    const std::pair<uint32_t, USHORT> answered[] = {{1, 256}, {2, 257}, {5, 256}, {6, 257}};
    for (auto [type, id] : answered) {
        EXPECT_EQ(convert(message_with(type, {})).id, id) << type;
    }
    for (uint32_t type : {0u, 3u, 4u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 0xFFFFFFFFu}) {
        EXPECT_EQ(convert(message_with(type, {})).outcome, O::ignored) << type;
    }
    Proto other;  // only Dnstap messages of type MESSAGE are DNS messages
    other.number(15, 2).field(14, {0x08, 0x05});
    EXPECT_EQ(convert(other.bytes).outcome, O::ignored);
    EXPECT_EQ(convert(Bytes(other.bytes.begin(), other.bytes.begin() + 2)).outcome, O::ignored);

    Proto empty_packet, short_address, long_address, both_packets;
    empty_packet.field(10, {}).field(14, {});
    short_address.field(4, {10, 0, 1});
    long_address.field(5, Bytes(17, 1));
    both_packets.field(14, dns_message(9, 0x8180));  // a query carries its own bytes only
    const std::tuple<uint32_t, std::vector<uint32_t>, Proto, O> cases[] = {
        {5, {10}, {}, O::no_dns_message},
        {6, {14}, {}, O::no_dns_message},
        {5, {10}, both_packets, O::no_dns_message},
        {1, {10}, empty_packet, O::no_dns_message},
        {5, {4}, {}, O::no_client_address},
        {2, {5}, {}, O::no_server_address},
        {5, {4}, short_address, O::bad_address},
        {6, {5}, long_address, O::bad_address},
        {5, {}, both_packets, O::event},
    };
    for (const auto& [type, left_out, extra, outcome] : cases) {
        EXPECT_EQ(convert(message_with(type, left_out, extra)).outcome, outcome)
            << type << " " << dnstap::outcome_text(outcome);
    }

    // Transport flag by protocol: TCP, DoT, DoH and DNSCrypt over TCP are TCP.
    const std::pair<uint32_t, uint8_t> protocols[] = {{1, 0}, {2, 1}, {3, 1}, {4, 1},
                                                      {5, 0}, {6, 1}, {7, 0}, {0, 0}};
    for (auto [protocol, flag] : protocols) {
        EXPECT_EQ(convert(dnstap_frame(5, protocol, dns_message(1, 0))).properties.at(0).second,
                  Bytes{flag})
            << protocol;
    }
}

std::string address_of(const Bytes& raw) {
    char out[46];
    dnstap::address_text({raw.data(), static_cast<uint32_t>(raw.size()), true}, out);
    return out;
}

TEST(Dnstap, AddressTextMatchesInetNtop) {
    std::mt19937 random(1234);
    for (int i = 0; i < 3000; ++i) {
        Bytes address(16);
        for (size_t word = 0; word < 8; ++word) {
            // Mostly zero groups, so that runs of every length and place come up.
            uint32_t value = random() % 3 == 0 ? static_cast<uint32_t>(random()) : 0;
            address[2 * word] = static_cast<uint8_t>(value >> 8);
            address[2 * word + 1] = static_cast<uint8_t>(value);
        }
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, address.data(), expected, sizeof expected), nullptr);
        ASSERT_EQ(address_of(address), expected);
    }
    EXPECT_EQ(address_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}), "::1.2.3.4");
    // A dual-stack listener's IPv4 peer is an IPv4 peer.
    EXPECT_EQ(address_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 9}), "10.0.0.9");
    EXPECT_EQ(address_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 10, 0, 0, 9}),
              "::1:ffff:a00:9");
    EXPECT_EQ(address_of({255, 0, 10, 1}), "255.0.10.1");
    EXPECT_EQ(address_of({100, 109, 99, 7}), "100.109.99.7");
    EXPECT_EQ(address_of({1, 2, 3}), "");
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
        return reply_sent;
    }
    std::vector<Bytes> frames;
    std::vector<Bytes> replies;
    const char* reject_with = nullptr;
    bool throw_on_frame = false;
    bool reply_sent = true;
};

TEST(FrameStreams, HandshakesAtEveryCut) {
    const std::vector<Bytes> payloads = {{1}, Bytes(300, 0x5A), {2, 3}};
    const Bytes frames = joined({data_frame(payloads[0]), data_frame(payloads[1]),
                                 data_frame(payloads[2]), control_frame(3)});
    // Bidirectional; unidirectional, with bytes after STOP ignored.
    const std::pair<Bytes, std::vector<Bytes>> streams[] = {
        {joined({control_frame(4, {"protobuf:other", dnstap_type}), control_frame(2, {dnstap_type}),
                 frames}),
         {accept_frame, finish_frame}},
        {joined({control_frame(2), frames, {0xFF, 0xFF, 0xFF, 0xFF}}), {}}};
    for (const auto& [stream, replies] : streams) {
        for (size_t cut = 0; cut <= stream.size(); ++cut) {
            Recorder recorder;
            fs::Reader reader;
            reader.feed(stream.data(), cut, recorder);
            reader.feed(stream.data() + cut, stream.size() - cut, recorder);
            ASSERT_EQ(reader.state(), fs::Reader::State::finished) << cut << reader.failure();
            ASSERT_EQ(reader.bidirectional(), !replies.empty());
            ASSERT_EQ(recorder.frames, payloads) << cut;
            ASSERT_EQ(recorder.replies, replies) << cut;
            ASSERT_EQ(reader.held(), 0u);
        }
    }
}

TEST(FrameStreams, ProtocolViolationsFailTheConnection) {
    const std::pair<Bytes, std::string> cases[] = {
        {data_frame({1}), "data frame before START"},
        {control_frame(4, {"protobuf:other"}), "READY without content type " + dnstap_type},
        {control_frame(4), "READY without content type " + dnstap_type},
        {control_frame(2, {"x"}), "START with a content type other than " + dnstap_type},
        {joined({control_frame(2), control_frame(2)}), "START after START"},
        {joined({control_frame(2), control_frame(4, {dnstap_type})}), "READY after the handshake"},
        {accept_frame, "unexpected ACCEPT control frame (type 1)"},
        {control_frame(9), "unexpected unknown control frame (type 9)"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, "frame of 4294967295 bytes exceeds 262144"},
        {{0, 4, 0, 1}, "frame of 262145 bytes exceeds 262144"},
        {{0, 0, 0, 0, 0, 0, 2, 1}, "control frame of 513 bytes exceeds 512"},
        {{0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, "control frame of 3 bytes is too short"},
        {{0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 9},
         "malformed READY control frame"},
        {control_frame(4, {std::string(257, 'x')}), "malformed READY control frame"},
    };
    Recorder recorder;
    for (const auto& [stream, reason] : cases) {
        fs::Reader reader;
        reader.feed(stream.data(), stream.size(), recorder);
        EXPECT_EQ(reader.state(), fs::Reader::State::failed) << reason;
        EXPECT_EQ(reader.failure(), reason);
        EXPECT_LE(reader.held_capacity(), 8u);
    }
    EXPECT_TRUE(recorder.frames.empty() && recorder.replies.empty());

    // An ACCEPT that cannot be sent ends the connection; a FINISH need not reach a writer that
    // has gone after its STOP.
    recorder.reply_sent = false;
    fs::Reader unanswered;
    Bytes ready = control_frame(4, {dnstap_type});
    unanswered.feed(ready.data(), ready.size(), recorder);
    EXPECT_STREQ(unanswered.failure(), "ACCEPT could not be sent");
    recorder.reply_sent = true;
    fs::Reader stopped;
    Bytes opening = joined({ready, control_frame(2)});
    stopped.feed(opening.data(), opening.size(), recorder);
    recorder.reply_sent = false;
    Bytes stop = control_frame(3);
    stopped.feed(stop.data(), stop.size(), recorder);
    EXPECT_EQ(stopped.state(), fs::Reader::State::finished);
    recorder.reply_sent = true;

    // The handler's refusal ends the connection with its reason; an exception leaves it failed.
    Bytes stream = joined({control_frame(2), data_frame({1}), data_frame({2})});
    recorder.reject_with = "malformed dnstap message";
    fs::Reader refused;
    refused.feed(stream.data(), stream.size(), recorder);
    EXPECT_STREQ(refused.failure(), "malformed dnstap message");
    EXPECT_EQ(recorder.frames, std::vector<Bytes>{{1}});
    recorder.throw_on_frame = true;
    fs::Reader interrupted;
    EXPECT_THROW(interrupted.feed(stream.data(), stream.size(), recorder), std::runtime_error);
    EXPECT_EQ(interrupted.state(), fs::Reader::State::failed);
}

// ---- the stand-in end to end ----

// Hostile peers are dropped, and so are peers that never finish their handshake or stop inside
// a frame; a quiet server is not. A dropped message costs one line per kind, then a summary.
TEST(EtwStandin, HostileAndStalledPeersAreDroppedOthersKeepDelivering) {
    standin::DnstapTimes saved = standin::dnstap_times();
    standin::dnstap_times() = {1000, 1500, 1000};
    Capture capture;
    test::LogCapture log;
    Writer good(capture.socket_path);
    good.handshake();
    good.query(1);
    ASSERT_TRUE(capture.wait_for(1));

    Writer garbage(capture.socket_path), huge(capture.socket_path), broken(capture.socket_path),
        stranger(capture.socket_path), silent(capture.socket_path), half_open(capture.socket_path),
        cut(capture.socket_path);
    garbage.send({'G', 'E', 'T', ' ', '/', '\r', '\n'});
    huge.start();  // a length of 4 GiB after good frames
    huge.query(1000);
    huge.send({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    ASSERT_TRUE(capture.wait_for(2));
    broken.handshake();
    broken.send(data_frame({0x0F, 0x00}));
    stranger.send(control_frame(4, {"protobuf:other"}));
    half_open.send(control_frame(4, {dnstap_type}));  // READY, then never START
    cut.start();
    cut.query(2);
    Bytes frame = data_frame(dnstap_frame(5, 1, dns_message(3, 0)));
    cut.send(Bytes(frame.begin(), frame.begin() + 9));
    good.send(joined({data_frame(message_with(5, {10})), data_frame(message_with(6, {4})),
                      data_frame(message_with(5, {10})), data_frame(message_with(13, {})),
                      data_frame(message_with(5, {4}))}));
    for (Writer* dropped : {&garbage, &huge, &broken, &stranger, &silent, &half_open, &cut}) {
        EXPECT_TRUE(dropped->wait_closed());
    }
    std::this_thread::sleep_for(2500ms);  // past every limit: the quiet writer stays
    good.query(4);
    ASSERT_TRUE(capture.wait_for(4));
    // A frame after a quiet spell is not taken for a trickle that the next must wait behind.
    good.query(5);
    ASSERT_TRUE(capture.wait_for(5));
    EXPECT_EQ(capture.ids, (std::vector<uint16_t>{1, 1000, 2, 4, 5}));
    good.finish();
    standin::dnstap_times() = saved;

    std::vector<std::string> lines = log.lines();
    std::sort(lines.begin(), lines.end());
    const std::string dropped = "ERROR - dnstap connection dropped: ";
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  dropped + "READY without content type protobuf:dnstap.Dnstap",
                  dropped + "frame of 1195725856 bytes exceeds 262144",
                  dropped + "frame of 4294967295 bytes exceeds 262144",
                  dropped + "frame unfinished after 1500 ms", dropped + "malformed dnstap message",
                  dropped + "no START within 1000 ms", dropped + "no START within 1000 ms",
                  "ERROR - dnstap message dropped: no DNS message bytes",
                  "ERROR - dnstap message dropped: no client address",
                  "ERROR - dnstap messages dropped: 2 since the last report "
                  "(no DNS message bytes 1, no client address 1)"}));
}

TEST(EtwStandin, SocketFileRules) {
    test::LogCapture log;
    TempDir directory;
    TRACEHANDLE handle;
    for (mode_t mask : {0000, 0077}) {  // owner and group only, whatever the umask
        std::string path = directory.path + "/mask" + std::to_string(mask);
        mode_t saved = ::umask(mask);
        ULONG started = start_session(fresh_session_name(), path, handle);
        ::umask(saved);
        ASSERT_EQ(started, ERROR_SUCCESS);
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0660u) << mask;
    }
    // A socket nobody listens on is replaced; a live one, or any other file, is left alone.
    std::string stale = directory.path + "/stale";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_EQ(start_session(fresh_session_name(), stale, handle), ERROR_SUCCESS);
    EXPECT_EQ(start_session(fresh_session_name(), stale, handle), ULONG{EADDRINUSE});
    EXPECT_TRUE(Writer(stale).connected);
    std::string regular = directory.path + "/regular";
    std::ofstream(regular) << "keep";
    EXPECT_EQ(start_session(fresh_session_name(), regular, handle), ULONG{EADDRINUSE});
    EXPECT_EQ(std::filesystem::file_size(regular), 4u);
    EXPECT_EQ(start_session(fresh_session_name(), directory.path + "/missing/s", handle),
              ULONG{ENOENT});
    std::string too_long = directory.path + std::string(100, 'x');
    EXPECT_EQ(start_session(fresh_session_name(), too_long, handle), ULONG{ENAMETOOLONG});
    // The caller's line names neither the path nor the call: the stand-in's line does.
    const std::string socket = "ERROR - dnstap socket ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  socket + stale + ": connect() failed: Address already in use",
                  socket + regular + ": bind() failed: Address already in use",
                  socket + directory.path + "/missing/s: bind() failed: No such file or directory",
                  socket + too_long + ": bind() failed: File name too long"}));
}

// ---- hostile local writers: who may connect, floods, running out of descriptors ----

std::vector<uint16_t> sequence(uint16_t first, uint16_t last) {
    std::vector<uint16_t> ids;
    for (uint16_t id = first; id <= last; ++id) {
        ids.push_back(id);
    }
    return ids;
}

Bytes started_query(uint16_t id) {
    return joined(
        {control_frame(2, {dnstap_type}),
         data_frame(dnstap_frame(dnstap::client_query, dnstap::udp, dns_message(id, 0)))});
}

// A thousand idle connections: at most 64 are kept, the oldest that never started making way
// for newer ones with one line per accept round, so a DNS server connecting later is served
// at once, and every query of the DNS server connected before arrives.
TEST(HostileInput, IdleFloodNeverLocksAServerOut) {
    Capture capture;
    test::LogCapture log;
    Writer server(capture.socket_path);
    server.start();
    server.query(1);
    ASSERT_TRUE(capture.wait_for(1));

    const size_t descriptors = open_descriptors();
    std::vector<int> flood;
    uint16_t next_id = 2;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = connect_unix(capture.socket_path, true);
        if (fd < 0) {
            std::this_thread::sleep_for(1ms);  // EAGAIN: the backlog is full for a moment
            continue;
        }
        flood.push_back(fd);
        if (attempt % 100 == 0) {
            server.query(next_id++);
        }
    }
    size_t held = 0, displaced = 0;
    std::vector<std::string> lines;
    for (int wait = 0; wait < 100 && held + displaced < flood.size(); ++wait) {
        std::this_thread::sleep_for(50ms);  // until the last accept round is done
        held = open_descriptors() - descriptors - flood.size();
        displaced = 0;
        lines = log.lines();
        for (const std::string& line : lines) {
            unsigned count = 0;
            if (std::sscanf(line.c_str(), "ERROR - dnstap connections dropped: %u", &count) == 1) {
                EXPECT_EQ(line, "ERROR - dnstap connections dropped: " + std::to_string(count) +
                                    " without START, for newer ones beyond the limit of 64");
                displaced += count;
            } else {
                ADD_FAILURE() << line;
            }
        }
    }
    EXPECT_EQ(held, 63u);  // the DNS server has the 64th place
    EXPECT_EQ(displaced, flood.size() - held);
    pollfd oldest{flood.front(), POLLIN, 0};
    uint8_t byte = 0;
    EXPECT_EQ(::poll(&oldest, 1, 3000), 1);
    EXPECT_EQ(::recv(flood.front(), &byte, 1, 0), 0);  // displaced: closed
    Writer later(capture.socket_path);                 // served while the flood holds its places
    later.start();
    later.query(5000);
    ASSERT_TRUE(capture.wait_for(next_id));
    Bytes kept = started_query(4000);
    ASSERT_EQ(::send(flood.back(), kept.data(), kept.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(kept.size()));
    ASSERT_TRUE(capture.wait_for(next_id + 1u));
    server.query(next_id);
    ASSERT_TRUE(capture.wait_for(next_id + 2u));
    for (int fd : flood) {
        ::close(fd);
    }
    std::vector<uint16_t> expected = sequence(1, static_cast<uint16_t>(next_id - 1));
    expected.insert(expected.end(), {5000, 4000, next_id});
    EXPECT_EQ(capture.ids, expected);
    std::printf("hostile: %zu idle connections, %zu displaced, %zu kept\n", flood.size(), displaced,
                held);
}

// Out of descriptors, accepting pauses a second at a time instead of spinning on the listener,
// the connected server goes on, and the waiting ones are taken once descriptors are back.
TEST(HostileInput, DescriptorExhaustionPausesAcceptingOnly) {
    Capture capture;
    test::LogCapture log;
    Writer server(capture.socket_path);
    server.start();
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));  // before the limit
    }
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // no new descriptor at all
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto starved_from = std::chrono::steady_clock::now();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, capture.socket_path.c_str(), sizeof address.sun_path - 1);
    for (int fd : waiting) {
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    for (uint16_t id = 1; id <= 30; ++id) {
        server.query(id);
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto starved = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - starved_from);
    ASSERT_TRUE(capture.wait_for(30));
    EXPECT_EQ(capture.ids, sequence(1, 30));

    for (size_t i = 0; i < waiting.size(); ++i) {
        Bytes stream = started_query(static_cast<uint16_t>(100 + i));
        EXPECT_EQ(::send(waiting[i], stream.data(), stream.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(stream.size()));
    }
    ASSERT_TRUE(capture.wait_for(34));
    std::vector<uint16_t> ids = capture.ids;
    std::sort(ids.begin() + 30, ids.end());
    EXPECT_EQ(std::vector<uint16_t>(ids.begin() + 30, ids.end()), sequence(100, 103));
    for (int fd : waiting) {
        ::close(fd);
    }
    std::vector<std::string> lines = log.lines();
    const std::string paused = "ERROR - dnstap connections not accepted: Too many open files";
    size_t pauses = static_cast<size_t>(std::count(lines.begin(), lines.end(), paused));
    EXPECT_GE(pauses, 1u);
    EXPECT_LE(pauses, static_cast<size_t>(starved / 1s) + 2) << "accepting spun";  // 1 s pauses
    EXPECT_EQ(lines.size(), pauses);
    std::printf("hostile: %zu pause lines in %lld ms without descriptors\n", pauses,
                static_cast<long long>(starved.count()));
}

}  // namespace
}  // namespace tarn::net
