#pragma once

// The self-describing event payload of the ETW/TDH stand-in, carried in EVENT_RECORD.UserData
// (little-endian): u16 property count, then per property a u16 name length in UTF-16 code units
// (no NUL), the name as UTF-16LE, a u32 value size and the value bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/dns_server_provider.hpp"
#include "net/etw_api.hpp"

namespace tarn::net::standin {

// The largest payload an EVENT_RECORD can carry: UserDataLength is 16-bit.
inline constexpr size_t max_payload_size = 65535;

struct PropertyValue {
    const char* name;  // ASCII, NUL-terminated
    const uint8_t* data;
    uint32_t size;
};

// Writes the payload of count properties into payload, whose size becomes the payload length;
// its capacity only grows, so a warm buffer costs no allocation. False (payload emptied) when
// the payload would exceed max_payload_size.
bool encode_payload(const PropertyValue* properties, size_t count, std::vector<uint8_t>& payload);

// Zeroes record and fills the header fields a consumer reads, pointing UserData at payload
// (which must outlive the record's use).
void fill_event_record(EVENT_RECORD& record, const GUID& provider, USHORT event_id,
                       int64_t filetime, const std::vector<uint8_t>& payload, void* user_context);

}  // namespace tarn::net::standin
