#pragma once

// What the capture relies on of the Microsoft-Windows-DNSServer ETW provider.
#include <cstdint>

#include "net/etw_api.hpp"

namespace tarn::net {

// {EB79061A-A566-4698-9119-3ED2807060E7}
inline constexpr GUID dns_server_provider = {
    0xEB79061A, 0xA566, 0x4698, {0x91, 0x19, 0x3E, 0xD2, 0x80, 0x70, 0x60, 0xE7}};

// Its DNS packet events, the only ones turned into records.
inline constexpr USHORT query_received_event = 256;
inline constexpr USHORT response_success_event = 257;
inline constexpr USHORT response_failure_event = 258;

// Event time stamps are FILETIMEs: 100-ns units since 1601-01-01T00:00:00Z.
inline constexpr int64_t filetime_units_per_second = 10000000;
// The FILETIME of 1970-01-01T00:00:00Z.
inline constexpr int64_t unix_epoch_filetime = 116444736000000000;

}  // namespace tarn::net
