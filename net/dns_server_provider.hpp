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

// The records of RT_LostEvent {6A399AE0-4BC6-4DE9-870B-3657F8947E7E}, by which ETW tells a
// real-time consumer that events (opcode 32), buffers (33) or the backing file (34) were lost.
inline constexpr GUID lost_event_provider = {
    0x6A399AE0, 0x4BC6, 0x4DE9, {0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E}};
inline constexpr UCHAR lost_event_opcode = 32;
inline constexpr UCHAR lost_file_opcode = 34;

}  // namespace tarn::net
