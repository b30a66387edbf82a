// The TDH stand-in read through its Win32 calls: event information layout, property sizes and
// reads, and payloads that lie about their sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/etw_api.hpp"
#include "net/standin_event.hpp"

namespace tarn::net {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr GUID other_provider = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

struct Event {
    Event(const std::vector<standin::PropertyValue>& properties, USHORT id = 257) {
        EXPECT_TRUE(standin::encode_payload(properties.data(), properties.size(), payload));
        standin::fill_event_record(record, standin::dns_server_guid, id, 1234567, payload, this);
    }
    // A raw payload in a block of exactly its size, so that any read beyond it is caught.
    explicit Event(const Bytes& raw) : payload(raw) {
        standin::fill_event_record(record, other_provider, 300, 0, payload, nullptr);
    }
    Bytes payload;
    EVENT_RECORD record;
};

standin::PropertyValue value_of(const char* name, const Bytes& bytes) {
    return {name, bytes.data(), static_cast<uint32_t>(bytes.size())};
}

// Event information read the way the decoder reads it: size query, then the real call.
Bytes event_info(Event& event) {
    ULONG size = 0;
    EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    Bytes buffer(size);
    EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr,
                                     reinterpret_cast<PTRACE_EVENT_INFO>(buffer.data()), &size),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(size, buffer.size());
    return buffer;
}

const TRACE_EVENT_INFO* info_of(const Bytes& buffer) {
    return reinterpret_cast<const TRACE_EVENT_INFO*>(buffer.data());
}

PROPERTY_DATA_DESCRIPTOR descriptor_at(const void* name) {
    PROPERTY_DATA_DESCRIPTOR descriptor;
    descriptor.PropertyName = static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(name));
    descriptor.ArrayIndex = 0xFFFFFFFF;
    descriptor.Reserved = 0;
    return descriptor;
}

PROPERTY_DATA_DESCRIPTOR descriptor_for(const Bytes& info, ULONG position) {
    const EVENT_PROPERTY_INFO* properties = info_of(info)->EventPropertyInfoArray;
    return descriptor_at(info.data() + properties[position].NameOffset);
}

std::u16string name_at(const Bytes& info, ULONG offset) {
    std::u16string name;
    for (size_t at = offset; at + 1 < info.size(); at += 2) {
        char16_t unit = static_cast<char16_t>(info[at] | info[at + 1] << 8);
        if (unit == 0) {
            return name;
        }
        name.push_back(unit);
    }
    ADD_FAILURE() << "name at " << offset << " has no terminator inside the buffer";
    return name;
}

ULONG size_of(Event& event, PROPERTY_DATA_DESCRIPTOR descriptor, ULONG& size) {
    return TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size);
}

ULONG read_into(Event& event, PROPERTY_DATA_DESCRIPTOR descriptor, Bytes& out) {
    return TdhGetProperty(&event.record, 0, nullptr, 1, &descriptor, static_cast<ULONG>(out.size()),
                          out.data());
}

const Bytes tcp_flag = {1};
const Bytes interface_ip = {'1', '0', '.', '0', '.', '0', '.', '2', 0};
const Bytes packet = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0};

TEST(TdhStandin, PayloadBytesAsEncoded) {
    Bytes payload;
    const Bytes nothing;
    standin::PropertyValue properties[] = {value_of("TCP", tcp_flag), value_of("Q", nothing)};
    ASSERT_TRUE(standin::encode_payload(properties, 2, payload));
    Bytes expected = {2, 0, 3, 0, 'T', 0, 'C', 0, 'P', 0, 1, 0, 0, 0, 1, 1, 0, 'Q', 0, 0, 0, 0, 0};
    EXPECT_EQ(payload, expected);
}

TEST(TdhStandin, EncoderStopsAt65535BytesAndReusesItsBuffer) {
    // 2 (count) + 2 + 2 (name "P") + 4 (size) + value.
    Bytes value(65535 - 10);
    standin::PropertyValue largest = value_of("P", value);
    Bytes payload;
    ASSERT_TRUE(standin::encode_payload(&largest, 1, payload));
    EXPECT_EQ(payload.size(), 65535u);
    const uint8_t* block = payload.data();

    value.push_back(0);
    standin::PropertyValue too_large = value_of("P", value);
    EXPECT_FALSE(standin::encode_payload(&too_large, 1, payload));
    EXPECT_TRUE(payload.empty());

    standin::PropertyValue small = value_of("TCP", tcp_flag);
    ASSERT_TRUE(standin::encode_payload(&small, 1, payload));
    EXPECT_EQ(payload.size(), 15u);
    EXPECT_EQ(payload.data(), block);  // warm buffer: no new block
}

TEST(TdhStandin, EventInformationLayout) {
    Event event({value_of("TCP", tcp_flag), value_of("InterfaceIP", interface_ip),
                 value_of("PacketData", packet)});
    ULONG size = 0;
    ASSERT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    // Header of 112 bytes, three 24-byte property entries, the names with their terminators.
    const size_t names = 2 * (4 + 12 + 11);
    EXPECT_EQ(size, 112u + 3 * 24 + names);

    // One byte short, or room for the header only: the size again.
    for (ULONG short_size : {size - 1, ULONG{112}}) {
        Bytes small(size - 1, 0xEE);
        EXPECT_EQ(
            TdhGetEventInformation(&event.record, 0, nullptr,
                                   reinterpret_cast<PTRACE_EVENT_INFO>(small.data()), &short_size),
            static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(short_size, size);
    }

    Bytes info = event_info(event);
    const TRACE_EVENT_INFO* header = info_of(info);
    EXPECT_TRUE(header->ProviderGuid == standin::dns_server_guid);
    EXPECT_EQ(header->EventDescriptor.Id, 257);
    EXPECT_EQ(header->PropertyCount, 3u);
    EXPECT_EQ(header->TopLevelPropertyCount, 3u);
    const EVENT_PROPERTY_INFO* properties = header->EventPropertyInfoArray;
    EXPECT_EQ(properties[0].NameOffset, 184u);
    EXPECT_EQ(properties[1].NameOffset, 192u);
    EXPECT_EQ(properties[2].NameOffset, 216u);
    EXPECT_EQ(name_at(info, properties[0].NameOffset), u"TCP");
    EXPECT_EQ(name_at(info, properties[1].NameOffset), u"InterfaceIP");
    EXPECT_EQ(name_at(info, properties[2].NameOffset), u"PacketData");
    EXPECT_EQ(properties[2].length, packet.size());
}

TEST(TdhStandin, SizesAndReadsByName) {
    Event event({value_of("TCP", tcp_flag), value_of("InterfaceIP", interface_ip),
                 value_of("PacketData", packet), value_of("Empty", {})});
    Bytes info = event_info(event);
    const Bytes* values[] = {&tcp_flag, &interface_ip, &packet};
    for (ULONG position = 0; position < 3; ++position) {
        SCOPED_TRACE(position);
        ULONG size = 0;
        ASSERT_EQ(size_of(event, descriptor_for(info, position), size),
                  static_cast<ULONG>(ERROR_SUCCESS));
        EXPECT_EQ(size, values[position]->size());

        // Exactly the value's bytes; what lies behind them stays as it was.
        Bytes out(size + 3, 0xEE);
        ASSERT_EQ(read_into(event, descriptor_for(info, position), out),
                  static_cast<ULONG>(ERROR_SUCCESS));
        Bytes expected = *values[position];
        expected.insert(expected.end(), 3, 0xEE);
        EXPECT_EQ(out, expected);

        Bytes short_buffer(size - 1, 0xEE);
        EXPECT_EQ(read_into(event, descriptor_for(info, position), short_buffer),
                  static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(short_buffer, Bytes(size - 1, 0xEE));
    }
    // A property of size 0 reads into no buffer at all.
    ULONG size = 9;
    ASSERT_EQ(size_of(event, descriptor_for(info, 3), size), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(size, 0u);
    PROPERTY_DATA_DESCRIPTOR empty = descriptor_for(info, 3);
    EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, &empty, 0, nullptr),
              static_cast<ULONG>(ERROR_SUCCESS));
    // The is_tcp read of the decoder: one byte.
    uint8_t flag = 0;
    PROPERTY_DATA_DESCRIPTOR first = descriptor_for(info, 0);
    EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, &first, 1, &flag),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(flag, 1);
}

TEST(TdhStandin, NamesMatchWholeAndFirstWins) {
    Bytes first = {1};
    Bytes second = {2, 2};
    Event event({value_of("Port", first), value_of("Port", second), value_of("XID", second)});
    ULONG size = 0;
    ASSERT_EQ(size_of(event, descriptor_at(u"Port"), size), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(size, 1u);

    // Prefixes, extensions and other cases of a name are other names.
    for (const char16_t* name : {u"Por", u"Ports", u"port", u"", u"XIDX"}) {
        EXPECT_EQ(size_of(event, descriptor_at(name), size), static_cast<ULONG>(ERROR_NOT_FOUND));
    }
    EXPECT_EQ(size_of(event, descriptor_at(u"XID"), size), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(size, 2u);
}

TEST(TdhStandin, RejectsBadArguments) {
    Event event({value_of("TCP", tcp_flag)});
    Bytes info = event_info(event);
    PROPERTY_DATA_DESCRIPTOR descriptors[2] = {descriptor_for(info, 0), descriptor_for(info, 0)};
    ULONG size = 0;
    uint8_t byte = 0;
    const ULONG invalid = ERROR_INVALID_PARAMETER;
    for (ULONG count : {0u, 2u}) {
        EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, count, descriptors, &size),
                  invalid);
        EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, count, descriptors, 1, &byte), invalid);
    }
    EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, nullptr, &size), invalid);
    EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, descriptors, nullptr), invalid);
    EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, nullptr, 1, &byte), invalid);
    EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, descriptors, 1, nullptr), invalid);
    PROPERTY_DATA_DESCRIPTOR unnamed = descriptor_at(nullptr);
    EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &unnamed, &size), invalid);
    EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, nullptr, nullptr), invalid);
    EXPECT_EQ(TdhGetEventInformation(nullptr, 0, nullptr, nullptr, &size), invalid);
    EXPECT_EQ(TdhGetEventInformation(&event.record, 1, nullptr, nullptr, &size), invalid);
}

// Every call on a payload that cannot be walked: the same answer, and no read beyond it (a
// sanitizer build catches those). The name is none of the payload's, so all of it is walked.
void expect_rejected(Event& event) {
    PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_at(u"QTYPE");
    ULONG size = 0;
    uint8_t out[8];
    const ULONG invalid = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, nullptr, &size), invalid);
    EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size), invalid);
    EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, &descriptor, sizeof out, out), invalid);
}

TEST(TdhStandin, HostilePayloads) {
    Event good({value_of("TCP", tcp_flag), value_of("InterfaceIP", interface_ip)});
    const Bytes& whole = good.payload;
    for (size_t length = 1; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        Event truncated(Bytes(whole.begin(), whole.begin() + length));
        expect_rejected(truncated);
    }
    // A lookup stops at its match: a property before the damage still reads.
    Event cut(Bytes(whole.begin(), whole.end() - 1));
    ULONG size = 0;
    EXPECT_EQ(size_of(cut, descriptor_at(u"TCP"), size), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(size, 1u);

    Bytes trailing = whole;
    trailing.push_back(0);
    Bytes more_properties = whole;
    more_properties[0] = 3;  // count says three, two are there
    Bytes huge_value = {1, 0, 3, 0, 'T', 0, 'C', 0, 'P', 0, 0xFF, 0xFF, 0xFF, 0xFF, 1};
    Bytes long_name = {1, 0, 0xFF, 0xFF, 'T', 0, 'C', 0, 'P', 0, 1, 0, 0, 0, 1};
    for (const Bytes* raw : {&trailing, &more_properties, &huge_value, &long_name}) {
        Event hostile(*raw);
        expect_rejected(hostile);
    }

    Event null_data(whole);
    null_data.record.UserData = nullptr;
    expect_rejected(null_data);
}

TEST(TdhStandin, EmptyPayloadHasNoProperties) {
    Event empty(Bytes{});
    EXPECT_EQ(empty.record.UserData, nullptr);
    Bytes info = event_info(empty);
    EXPECT_EQ(info.size(), sizeof(TRACE_EVENT_INFO) - sizeof(EVENT_PROPERTY_INFO));
    EXPECT_EQ(info_of(info)->PropertyCount, 0u);
    EXPECT_EQ(info_of(info)->EventDescriptor.Id, 300);
    ULONG size = 0;
    EXPECT_EQ(size_of(empty, descriptor_at(u"TCP"), size), static_cast<ULONG>(ERROR_NOT_FOUND));
}

}  // namespace
}  // namespace tarn::net
