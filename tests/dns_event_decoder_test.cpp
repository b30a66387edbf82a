// DNS packet events crafted through the test provider, decoded by handle_event through the TDH
// stand-in, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "log_capture.hpp"
#include "net/etw_trace_state.hpp"
#include "sensor/sensor_queue.hpp"
#include "test_provider.hpp"

namespace tarn::net {
namespace {

using test::Property;
using test::TestEvent;
using Bytes = std::vector<uint8_t>;

const int64_t new_year_2025 = test::filetime_of(1735689600);

Bytes packet_of(size_t length) {
    Bytes packet(length);
    for (size_t i = 0; i < length; ++i) {
        packet[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return packet;
}

// Collects what handle_event hands to the state's callback.
struct Decoder {
    Decoder() {
        state.message_callback = [](const uint8_t* data, uint32_t length, void* context) {
            static_cast<Decoder*>(context)->records.emplace_back(data, data + length);
            return int32_t{0};
        };
        state.message_context = this;
    }
    void decode(TestEvent& event) {
        event.record()->UserContext = &state;
        handle_event(state, event.record());
    }
    void decode(uint16_t id, const std::string& server, const std::string& device,
                size_t packet_length, int64_t timestamp = new_year_2025) {
        TestEvent event(id, test::packet_properties(0, server, device, packet_of(packet_length)),
                        timestamp);
        decode(event);
    }
    EtwTraceState state;
    std::vector<Bytes> records;
};

// System texts end in CR LF on Windows, which the log line keeps; compare without them.
std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}
std::string text_of(int code) {
    return trimmed(error::system_error_text(code));
}

std::vector<std::string> trimmed_lines(const test::LogCapture& log) {
    std::vector<std::string> result;
    for (const std::string& line : log.lines()) {
        if (!trimmed(line).empty()) {
            result.push_back(trimmed(line));
        }
    }
    return result;
}

TEST(DnsEventDecoder, RecordLayoutByteForByte) {
    Decoder decoder;
    Bytes packet = packet_of(29);
    TestEvent event(256, test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet), new_year_2025);
    decoder.decode(event);
    ASSERT_EQ(decoder.records.size(), 1u);
    Bytes expected = {0x02, 0x67, 0x74, 0x85, 0x80, 0x08, '1', '0', '.', '0', '.', '0',
                      '.',  '1',  0x08, '1',  '0',  '.',  '0', '.', '0', '.', '2', 0x00};
    expected.insert(expected.end(), packet.begin(), packet.end());
    EXPECT_EQ(expected.size(), 53u);
    EXPECT_EQ(decoder.records[0], expected);

    // Responses (257, 258) carry the transport byte as delivered; the server address is not
    // filtered, so IPv6 passes there.
    TestEvent tcp(258, test::packet_properties(1, "fd00::53", "192.168.1.9", packet_of(12)),
                  new_year_2025);
    decoder.decode(tcp);
    ASSERT_EQ(decoder.records.size(), 2u);
    const Bytes& second = decoder.records[1];
    ASSERT_EQ(second.size(), 8u + 11 + 8 + 12);
    EXPECT_EQ(second[5], 11);
    EXPECT_EQ(std::string(second.begin() + 6, second.begin() + 17), "192.168.1.9");
    EXPECT_EQ(second[17], 8);
    EXPECT_EQ(std::string(second.begin() + 18, second.begin() + 26), "fd00::53");
    EXPECT_EQ(second[26], 1);
}

TEST(DnsEventDecoder, TimeFieldIsTruncatedSecondsSince1970) {
    struct Case {
        int64_t timestamp;
        uint32_t seconds;
    } cases[] = {
        {116444736000000000, 0},
        {116444736000000000 + 19999999, 1},
        {116444736000000000 - 50000001, 0xFFFFFFFB},   // -5.0000001 s truncates to -5
        {test::filetime_of(int64_t{1} << 32) + 5, 0},  // low 32 bits only
    };
    for (const Case& c : cases) {
        Decoder decoder;
        decoder.decode(257, "1.1.1.1", "2.2.2.2", 12, c.timestamp);
        ASSERT_EQ(decoder.records.size(), 1u);
        const Bytes& r = decoder.records[0];
        uint32_t seconds = uint32_t{r[1]} << 24 | uint32_t{r[2]} << 16 | uint32_t{r[3]} << 8 | r[4];
        EXPECT_EQ(seconds, c.seconds) << c.timestamp;
    }
}

TEST(DnsEventDecoder, SilentFiltersLogNothing) {
    test::LogCapture log;
    Decoder decoder;
    auto properties = test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(20));
    GUID other = dns_server_provider;
    other.Data1 ^= 1;
    TestEvent foreign(256, properties, new_year_2025, other);
    decoder.decode(foreign);
    for (uint16_t id : {255, 259, 0, 65535}) {
        TestEvent event(id, properties, new_year_2025);
        decoder.decode(event);
    }
    for (const char* device : {"::1", "fe80::1", "10.0.0.a", "host", "Z"}) {
        decoder.decode(256, "10.0.0.2", device, 20);
    }
    EXPECT_TRUE(decoder.records.empty());
    EXPECT_TRUE(log.lines().empty());

    // High bytes are not letters, and an empty device address passes with length 0.
    decoder.decode(256, "10.0.0.2", "\xC3\xA9", 20);
    decoder.decode(256, "10.0.0.2", "", 20);
    ASSERT_EQ(decoder.records.size(), 2u);
    EXPECT_EQ(decoder.records[1][5], 0);
    EXPECT_EQ(decoder.records[1].size(), 8u + 0 + 8 + 20);
}

TEST(DnsEventDecoder, PacketPositionIsTheFirstBPPairFromFour) {
    Decoder decoder;
    auto with_names = [&](const std::vector<std::string>& names) {
        std::vector<Property> properties = {test::byte_property("TCP", 0),
                                            test::text_property("InterfaceIP", "10.0.0.2"),
                                            test::text_property("Source", "10.0.0.1")};
        for (size_t i = 3; i < names.size(); ++i) {
            properties.push_back(test::bytes_property(names[i], Bytes(i, static_cast<uint8_t>(i))));
        }
        return properties;
    };
    // Two pairs: the earlier one (positions 4 and 5) wins.
    TestEvent two_pairs(256, with_names({"", "", "", "x", "Bytes", "Payload", "Buf", "Pkt"}),
                        new_year_2025);
    decoder.decode(two_pairs);
    ASSERT_EQ(decoder.records.size(), 1u);
    EXPECT_EQ(decoder.records[0].size(), 8u + 8 + 8 + 5);
    EXPECT_EQ(decoder.records[0].back(), 5);

    test::LogCapture log;
    // A P name at 3 after a B name at 2 is never considered, nor a pair at 3 and 4.
    std::vector<Property> b_at_two = {
        test::byte_property("TCP", 0), test::text_property("InterfaceIP", "10.0.0.2"),
        test::text_property("Bsource", "10.0.0.1"), test::bytes_property("Packet", Bytes(3, 1)),
        test::bytes_property("other", Bytes(1, 1))};
    TestEvent b_two(257, b_at_two, new_year_2025);
    decoder.decode(b_two);
    TestEvent four(256, with_names({"", "", "", "BufferSize"}), new_year_2025);
    decoder.decode(four);
    EXPECT_EQ(decoder.records.size(), 1u);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "ERROR - Process ETW event failed: Packet data index not found for event ID "
                  "257 with property count 5",
                  "ERROR - Process ETW event failed: Packet data index not found for event ID "
                  "256 with property count 4"}));
}

TEST(DnsEventDecoder, DecodingFailuresCostOneEventAndOneLine) {
    test::LogCapture log;
    Decoder decoder;
    // Payloads the helper rejects are logged whatever the event ID.
    TestEvent truncated(255, Bytes{9, 0, 3}, new_year_2025);
    decoder.decode(truncated);
    // A transport property wider than one byte does not fit the one-byte read.
    auto wide = test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(16));
    wide[0] = test::u16_property("TCP", 1);
    TestEvent wide_tcp(256, wide, new_year_2025);
    decoder.decode(wide_tcp);
    // An address property without even its terminator leaves no valid length.
    auto bare = test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(16));
    bare[1] = test::bytes_property("InterfaceIP", {});
    TestEvent bare_server(256, bare, new_year_2025);
    decoder.decode(bare_server);
    // Nothing of the above is sent, and the next good event decodes as usual.
    decoder.decode(256, "10.0.0.2", "10.0.0.1", 16);
    ASSERT_EQ(decoder.records.size(), 1u);
    EXPECT_EQ(decoder.records[0].size(), 8u + 8 + 8 + 16);
    EXPECT_EQ(trimmed_lines(log),
              (std::vector<std::string>{
                  "ERROR - TdhGetEventInformation() failed: " + text_of(ERROR_INVALID_PARAMETER),
                  "ERROR - Process ETW event failed: TdhGetProperty(is_tcp) failed: " +
                      text_of(ERROR_INSUFFICIENT_BUFFER),
                  "ERROR - Process ETW event failed: server_ip of 0 bytes does not fit the "
                  "record"}));
}

TEST(DnsEventDecoder, BuffersGrowToExactSizesAndAreReused) {
    Decoder decoder;
    decoder.decode(256, "100.100.100.100", "10.10.10.10", 300);
    EtwTraceState& s = decoder.state;
    EXPECT_EQ(s.server_ip.capacity, 16u);
    EXPECT_EQ(s.device_ip.capacity, 12u);
    EXPECT_EQ(s.message.capacity, 8u + 15 + 11 + 300);
    const uint8_t* message_block = s.message.data;
    uint32_t info_capacity = s.event_info.capacity;

    decoder.decode(256, "1.1.1.1", "2.2.2.2", 40);
    EXPECT_EQ(s.message.data, message_block);
    EXPECT_EQ(s.message.capacity, 8u + 15 + 11 + 300);
    EXPECT_EQ(s.server_ip.capacity, 16u);
    EXPECT_EQ(s.event_info.capacity, info_capacity);
    ASSERT_EQ(decoder.records.size(), 2u);
    EXPECT_EQ(decoder.records[1].size(), 8u + 7 + 7 + 40);

    decoder.decode(256, "1.1.1.1", "2.2.2.2", 1000);
    EXPECT_EQ(s.message.capacity, 8u + 7 + 7 + 1000);
}

TEST(DnsEventDecoder, QueueRefusalPassesThroughAndEndsTheTraceLoop) {
    sensor::SensorQueue queue(64);
    Decoder decoder;
    decoder.state.message_callback = sensor::push_message;
    decoder.state.message_context = &queue;
    // 8 + 8 + 8 + 40 = 64 bytes: does not fit a 64-byte ring with its length prefix.
    TestEvent too_big(256, test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(40)),
                      new_year_2025);
    too_big.record()->UserContext = &decoder.state;
    try {
        handle_event(decoder.state, too_big.record());
        ADD_FAILURE() << "the refusal was swallowed";
    } catch (const std::exception& failure) {
        EXPECT_STREQ(failure.what(), "string length 64  is larger than the size of the queue 64");
    }

    // Inside the platform loop the refusal is held and processing asked to end.
    EVENT_TRACE_LOGFILEA logfile{};
    logfile.Context = &decoder.state;
    EXPECT_EQ(keep_processing(&logfile), static_cast<ULONG>(TRUE));
    on_event_record(too_big.record());
    EXPECT_TRUE(static_cast<bool>(decoder.state.callback_failure));
    EXPECT_EQ(keep_processing(&logfile), static_cast<ULONG>(FALSE));

    TestEvent fits(256, test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(36)),
                   new_year_2025);
    fits.record()->UserContext = &decoder.state;
    on_event_record(fits.record());  // not decoded any more: capture is ending
    uint8_t out[64];
    EXPECT_EQ(queue.pop(out, sizeof out), 0);
}

TEST(DnsEventDecoder, WithoutCallbackEventsAreDecodedAndDiscarded) {
    EtwSession session;  // no callback registered
    EtwTraceState state;
    state.message_callback = forward_message;
    state.message_context = &session;
    TestEvent event(256, test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet_of(30)),
                    new_year_2025);
    handle_event(state, event.record());
    EXPECT_EQ(state.message_length, 8 + 8 + 8 + 30);
}

}  // namespace
}  // namespace tarn::net
