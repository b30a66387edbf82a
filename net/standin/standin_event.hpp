#pragma once

// The self-describing event payload of the ETW/TDH stand-in, carried in EVENT_RECORD.UserData,
// little-endian: a u16 property count N; N directory entries of four u16 each (name offset, name
// length in UTF-16 code units without a NUL, value offset, value size); then the names in
// UTF-16LE, then the values. Offsets count from the start of UserData. With the directory, TDH
// finds a property without walking the ones before it; with the names ahead of the values,
// events with the same names share everything up to the first value.
#include <cstddef>
#include <cstdint>

#include "net/dns_server_provider.hpp"
#include "net/etw_api.hpp"
#include "support/byte_order.hpp"

namespace tarn::net::standin {

// The largest payload an EVENT_RECORD can carry: UserDataLength is 16-bit.
inline constexpr size_t max_payload_size = 65535;
inline constexpr size_t payload_header_size = 2;
inline constexpr size_t directory_entry_size = 8;

struct DirectoryEntry {
    uint16_t name_offset;
    uint16_t name_units;
    uint16_t value_offset;
    uint16_t value_size;
};

inline size_t entry_offset(size_t index) {
    return payload_header_size + index * directory_entry_size;
}

inline DirectoryEntry load_entry(const uint8_t* payload, size_t index) {
    const uint8_t* p = payload + entry_offset(index);
    return {load_le16(p), load_le16(p + 2), load_le16(p + 4), load_le16(p + 6)};
}

// An entry is written in two halves: payloads with the same names differ only in the second.
inline void store_entry_name(uint8_t* payload, size_t index, uint16_t offset, uint16_t units) {
    store_le16(payload + entry_offset(index), offset);
    store_le16(payload + entry_offset(index) + 2, units);
}

inline void store_entry_value(uint8_t* payload, size_t index, uint16_t offset, uint16_t size) {
    store_le16(payload + entry_offset(index) + 4, offset);
    store_le16(payload + entry_offset(index) + 6, size);
}

struct PropertyValue {
    const uint8_t* name_utf16;  // the name as the payload carries it
    size_t name_length;         // in UTF-16 code units
    const uint8_t* data;
    uint32_t size;
};

// A property name in UTF-16LE, made from its ASCII text at compile time.
template <size_t N>
struct PropertyName {
    static_assert(N > 1, "a property has a name");
    constexpr PropertyName(const char (&ascii)[N]) {
        for (size_t i = 0; i + 1 < N; ++i) {
            utf16[2 * i] = static_cast<uint8_t>(ascii[i]);
        }
    }
    uint8_t utf16[2 * (N - 1)] = {};
};

template <size_t N>
constexpr PropertyValue property(const PropertyName<N>& name, const uint8_t* data, uint32_t size) {
    return {name.utf16, N - 1, data, size};
}

struct Payload {
    uint8_t bytes[max_payload_size];
    size_t size = 0;
    // The names the bytes hold, as the addresses and lengths they were written from, so that
    // the next payload with the same names writes only its values. A name's storage must not
    // be reused for another name while a payload written from it is encoded again.
    static constexpr size_t kept_names = 8;
    const uint8_t* name_sources[kept_names] = {};
    size_t name_lengths[kept_names] = {};
    size_t name_count = 0;  // of name_sources; 0 when the bytes hold no names worth keeping
    size_t values_offset = 0;
};

// Writes the payload of count properties; false (payload emptied) when it would exceed
// max_payload_size.
bool encode_payload(const PropertyValue* properties, size_t count, Payload& payload);

// Zeroes record and fills the header fields a consumer reads, pointing UserData at payload
// (which must outlive the record's use).
void fill_event_record(EVENT_RECORD& record, const GUID& provider, USHORT event_id,
                       int64_t filetime, const Payload& payload, void* user_context);

}  // namespace tarn::net::standin
