// DNS packet events read through the TDH stand-in: records byte for byte, or one log line.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "log_capture.hpp"
#include "net/ipv6_text.hpp"
#include "test_provider.hpp"

namespace tarn::net {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes packet = {0xA0, 0xA1, 0xA2};

// Collects the records handle_event hands to the state's callback.
struct Decoder {
    Decoder() {
        state.message_callback = [](const uint8_t* data, uint32_t length, void* context) {
            static_cast<Decoder*>(context)->records.emplace_back(data, data + length);
            return int32_t{0};
        };
        state.message_context = this;
    }
    void decode(uint16_t id, const std::vector<test::Property>& properties,
                int64_t time = test::filetime_of(1735689600), USHORT cut = 0,
                const GUID& provider = dns_server_provider) {
        test::TestEvent event(id, properties, time, provider);
        event.record()->UserDataLength = cut != 0 ? cut : event.record()->UserDataLength;
        handle_event(state, event.record());
    }
    EtwTraceState state;
    std::vector<Bytes> records;
};

TEST(DnsEventDecoder, RecordLayoutByteForByte) {
    Decoder decoder;
    decoder.decode(256, test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet));
    EXPECT_EQ(Bytes({2, 0x67, 0x74, 0x85, 0x80, 8,   '1', '0', '.', '0', '.',  '0',  '.', '1',
                     8, '1',  '0',  '.',  '0',  '.', '0', '.', '2', 0,   0xA0, 0xA1, 0xA2}),
              decoder.records.at(0));
    struct Case {  // seconds since 1970, truncated, low 32 bits; only the device is filtered
        uint8_t tcp;
        std::string server, device;
        int64_t time;
        uint32_t seconds;
    } cases[] = {{1, "fd00::53", "192.168.1.9", 116444736000000000, 0},
                 {0, "1.1.1.1", std::string(255, '7'), 116444736000000000 + 19999999, 1},
                 {0, "1.1.1.1", "\xC3\xA9", 116444736000000000 - 50000001, 0xFFFFFFFB},
                 {1, "100.100.100.100", "", test::filetime_of(int64_t{1} << 32) + 5, 0}};
    for (uint16_t id : {256, 257, 258}) {
        for (const Case& c : cases) {
            decoder.decode(id, test::packet_properties(c.tcp, c.server, c.device, packet), c.time);
            Bytes expected = {2,
                              uint8_t(c.seconds >> 24),
                              uint8_t(c.seconds >> 16),
                              uint8_t(c.seconds >> 8),
                              uint8_t(c.seconds),
                              uint8_t(c.device.size())};
            expected.insert(expected.end(), c.device.begin(), c.device.end());
            expected.push_back(uint8_t(c.server.size()));
            expected.insert(expected.end(), c.server.begin(), c.server.end());
            expected.push_back(c.tcp);
            expected.insert(expected.end(), packet.begin(), packet.end());
            EXPECT_EQ(expected, decoder.records.back()) << id << " " << c.device;
        }
    }
}

std::string text_of(ULONG code) {  // without the CR LF of Windows' texts, as in the log lines
    std::string text = error::system_error_text(static_cast<int32_t>(code));
    return text.substr(0, text.find_last_not_of("\r\n") + 1);
}

TEST(DnsEventDecoder, FiltersAreSilentFailuresCostOneEventAndOneLine) {
    test::LogCapture log;
    Decoder decoder;
    auto properties = test::packet_properties(0, "10.0.0.2", "10.0.0.1", packet);
    decoder.decode(256, properties, 0, 0, {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
    for (uint16_t id : {255, 259, 0, 65535}) {
        decoder.decode(id, properties);
    }
    EXPECT_TRUE(decoder.records.empty() && log.lines().empty());

    const std::pair<size_t, test::Property> broken[] = {
        {0, {"TCP", {1, 0}}},      // wider than the one-byte read
        {1, {"InterfaceIP", {}}},  // not even the terminator
        {2, {"Source", Bytes(257, '1')}},
        {7, {"Size", {}}}};  // no B..P name pair from position 4 on: no packet
    for (const auto& [position, replacement] : broken) {
        auto changed = properties;
        changed[position] = replacement;
        decoder.decode(257, changed);
    }
    // A P name at 3 after a B name at 2 is never the packet.
    decoder.decode(257, {properties[0], properties[1], {"Bsource", {0}}, {"Packet", packet}});
    std::string failed = "ERROR - Process ETW event failed: ";
    std::vector<std::string> expected = {
        failed + "TdhGetProperty(is_tcp) failed: " + text_of(ERROR_INSUFFICIENT_BUFFER),
        failed + "server_ip of 0 bytes does not fit the record",
        failed + "device_ip of 257 bytes does not fit the record",
        failed + "Packet data index not found for event ID 257 with property count 9",
        failed + "Packet data index not found for event ID 257 with property count 4"};
    // Every cut of a good payload, whatever the event ID.
    for (USHORT cut = 1; cut < test::TestEvent(0, properties, 0).record()->UserDataLength; ++cut) {
        decoder.decode(255, properties, 0, cut);
        expected.push_back("ERROR - TdhGetEventInformation() failed: " +
                           text_of(ERROR_INVALID_PARAMETER));
    }
    // Every directory field of a good payload pointed past its end: an offset at the end, a
    // length or size of 0xFFFF.
    for (size_t field = 0; field < properties.size() * 4; ++field) {
        test::TestEvent event(256, properties, 0);
        auto* bytes = static_cast<uint8_t*>(event.record()->UserData);
        uint16_t value = field % 2 == 0 ? event.record()->UserDataLength : 0xFFFF;
        bytes[2 + 2 * field] = static_cast<uint8_t>(value);
        bytes[3 + 2 * field] = static_cast<uint8_t>(value >> 8);
        handle_event(decoder.state, event.record());
        expected.push_back("ERROR - TdhGetEventInformation() failed: " +
                           text_of(ERROR_INVALID_PARAMETER));
    }
    // The first B..P pair from position 4 on is the packet, whatever comes after it.
    properties[4] = {"Buf", {}};
    properties[5] = {"Payload", {1, 2}};
    decoder.decode(256, properties);
    ASSERT_EQ(1u, decoder.records.size());
    EXPECT_EQ(Bytes({0, 1, 2}), Bytes(decoder.records[0].end() - 3, decoder.records[0].end()));
    EXPECT_EQ(expected, log.lines());
}

// Only with "ipv6-clients on", and only texts inet_pton(AF_INET6) takes; the rest, and every
// IPv6 or named device without the key, stay silent.
TEST(DnsEventDecoder, Ipv6DevicesOnRequestWhenWellFormed) {
    auto words = [](const char* text) {
        std::istringstream in(text);
        return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
    };
    const auto valid = words(
        "::1 :: 2001:DB8:0:0:8:800:200c:417A fe80:: 1:2:3:4:5:6:7:: ::ffff:192.0.2.1 "
        "1:2:3:4:5:6:0.0.0.255");
    auto invalid = words(
        "1:2:3:4:5:6:7:8:9 1:2:3:4:5:6:7 1:2:3:4::5:6:7:8 1::2::3 ::: :1:: 1::2: 12345:: ::g "
        "fe80::1%eth0 [::1] ::1.2.3 ::1.2.3.4.5 ::256.1.1.1 ::01.1.1.1 1:2:3:4:5:6:7:1.2.3.4 "
        "::1.2.3.4:5 host 10.0.0.a Z");
    invalid.insert(invalid.end(), {"::1 ", std::string("::1\0", 4)});
    test::LogCapture log;
    Decoder decoder;
    for (bool on : {false, true}) {
        config::ipv6_clients = on;
        for (const std::string& device : invalid) {
            decoder.decode(256, test::packet_properties(1, "::53", device, packet));
            EXPECT_FALSE(is_ipv6_text(device)) << device;
        }
        ASSERT_TRUE(decoder.records.empty());
        for (const std::string& device : valid) {
            const size_t before = decoder.records.size();
            decoder.decode(256, test::packet_properties(1, "::53", device, packet));
            EXPECT_TRUE(is_ipv6_text(device)) << device;
            ASSERT_EQ(before + on, decoder.records.size()) << device;
            if (on) {  // the text goes into the record as it came, behind its length
                EXPECT_EQ(char(device.size()) + device,
                          std::string(decoder.records.back().begin() + 5,
                                      decoder.records.back().begin() + 6 + device.size()));
            }
        }
    }
    config::ipv6_clients = false;
    EXPECT_TRUE(log.lines().empty());
}

// A name the consumer took from an earlier event's information, or changed since, is looked up
// by what it says, never by where it was written.
TEST(TdhStandin, NamesAreReadByWhatTheySayNotWhereTheyWereWritten) {
    test::TestEvent first(256,
                          {{"TCP", {1}},
                           {"InterfaceIP", test::text("10.0.0.1")},
                           {"Source", test::text("192.0.2.1")}},
                          0);
    test::TestEvent second(256, {{"Source", test::text("192.0.2.2")}, {"TCP", {0}}, {"Port", {}}},
                           0);
    ULONG size = 0;
    ASSERT_EQ(ERROR_INSUFFICIENT_BUFFER,
              TdhGetEventInformation(first.record(), 0, nullptr, nullptr, &size));
    std::vector<uint8_t> buffer(size);
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(buffer.data());
    ASSERT_EQ(ERROR_SUCCESS, TdhGetEventInformation(first.record(), 0, nullptr, info, &size));
    auto name_at = [&](ULONG i) {
        return buffer.data() + info->EventPropertyInfoArray[i].NameOffset;
    };
    name_at(1)[2 * 8] = 'f';  // "InterfaceIP" -> "InterfacfIP"
    const struct {
        test::TestEvent& event;
        ULONG position;  // of the name in the first event's information
        ULONG status;
        Bytes value;
    } cases[] = {
        {first, 0, ERROR_SUCCESS, {1}},
        {first, 1, ERROR_NOT_FOUND, {}},
        {first, 2, ERROR_SUCCESS, test::text("192.0.2.1")},
        {second, 0, ERROR_SUCCESS, {0}},
        {second, 1, ERROR_NOT_FOUND, {}},
        {second, 2, ERROR_SUCCESS, test::text("192.0.2.2")},
    };
    for (const auto& c : cases) {
        PROPERTY_DATA_DESCRIPTOR descriptor{reinterpret_cast<ULONGLONG>(name_at(c.position)),
                                            0xFFFFFFFF, 0};
        uint8_t value[16] = {};
        ULONG value_size = 0;
        EXPECT_EQ(c.status,
                  TdhGetPropertySize(c.event.record(), 0, nullptr, 1, &descriptor, &value_size))
            << c.position;
        EXPECT_EQ(c.status,
                  TdhGetProperty(c.event.record(), 0, nullptr, 1, &descriptor, sizeof value, value))
            << c.position;
        EXPECT_EQ(c.value, Bytes(value, value + (c.status == ERROR_SUCCESS ? value_size : 0)))
            << c.position;
    }
}

// Every property of an event as TDH tells it: the name it writes, then the value by that name.
std::vector<std::pair<std::string, Bytes>> properties_of(EVENT_RECORD* record) {
    std::vector<std::pair<std::string, Bytes>> found;
    ULONG size = 0;
    std::vector<uint8_t> buffer;
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(buffer.data());
    if (TdhGetEventInformation(record, 0, nullptr, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER ||
        (buffer.resize(size), info = reinterpret_cast<TRACE_EVENT_INFO*>(buffer.data()),
         TdhGetEventInformation(record, 0, nullptr, info, &size) != ERROR_SUCCESS)) {
        ADD_FAILURE() << "no event information";
        return found;
    }
    for (ULONG i = 0; i < info->PropertyCount; ++i) {
        const uint8_t* name = buffer.data() + info->EventPropertyInfoArray[i].NameOffset;
        std::string text;
        for (size_t k = 0; name[2 * k] != 0; ++k) {
            text += static_cast<char>(name[2 * k]);
        }
        PROPERTY_DATA_DESCRIPTOR descriptor{reinterpret_cast<ULONGLONG>(name), 0xFFFFFFFF, 0};
        uint8_t value[64] = {};
        ULONG value_size = 0;
        EXPECT_EQ(ERROR_SUCCESS,
                  TdhGetPropertySize(record, 0, nullptr, 1, &descriptor, &value_size));
        EXPECT_EQ(ERROR_SUCCESS,
                  TdhGetProperty(record, 0, nullptr, 1, &descriptor, sizeof value, value));
        found.emplace_back(text, Bytes(value, value + value_size));
    }
    return found;
}

// A payload lays its names out once and then writes only values while the names stay the
// same; written again for other names, or for fewer of the same, it must carry those.
TEST(TdhStandin, APayloadWrittenForOtherNamesCarriesThem) {
    constexpr standin::PropertyName tcp("TCP");
    constexpr standin::PropertyName source("Source");
    constexpr standin::PropertyName target("Target");  // as long as "Source"
    const Bytes a = test::text("192.0.2.1");
    const Bytes b = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    using standin::property;
    auto value = [](const Bytes& bytes) { return static_cast<uint32_t>(bytes.size()); };
    const std::vector<standin::PropertyValue> events[] = {
        {property(tcp, b.data(), 1), property(source, a.data(), value(a))},
        {property(tcp, b.data(), 1), property(source, b.data(), value(b))},
        {property(tcp, a.data(), 2), property(target, b.data(), 3)},
        {property(tcp, b.data(), value(b))},
        {property(tcp, a.data(), 0), property(source, a.data(), value(a))},
    };
    auto payload = std::make_unique<standin::Payload>();
    for (size_t i = 0; i < std::size(events); ++i) {
        std::vector<std::pair<std::string, Bytes>> expected;
        for (const standin::PropertyValue& p : events[i]) {
            std::string name;
            for (size_t k = 0; k < p.name_length; ++k) {
                name += static_cast<char>(p.name_utf16[2 * k]);
            }
            expected.emplace_back(name, Bytes(p.data, p.data + p.size));
        }
        ASSERT_TRUE(standin::encode_payload(events[i].data(), events[i].size(), *payload));
        EVENT_RECORD record;
        standin::fill_event_record(record, dns_server_provider, 256, 0, *payload, nullptr);
        EXPECT_EQ(expected, properties_of(&record)) << "event " << i;
    }
}

}  // namespace
}  // namespace tarn::net
