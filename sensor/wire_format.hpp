#pragma once

// What the agent writes to a collector: a TCP stream of frames, each a 4-byte big-endian payload
// length and then the payload, whose first byte is the message type. The agent writes it, the
// reference collector reads it; header-only, so the collector needs nothing else of the agent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "support/byte_order.hpp"

namespace tarn::sensor::wire {

// The agent's version: logged at start and announced first on every connection.
inline constexpr char version[] = "3.7.1";

inline constexpr uint8_t version_message_type = 1;
inline constexpr uint8_t dns_record_type = 2;

inline constexpr size_t frame_prefix_size = 4;

constexpr void encode_frame_prefix(uint8_t* out, uint32_t payload_size) {
    store_be32(out, payload_size);
}

// The version payload: the type byte 1, then the version text without terminator.
inline constexpr size_t version_text_offset = 1;
inline constexpr size_t version_payload_size = version_text_offset + sizeof version - 1;
inline constexpr size_t version_frame_size = frame_prefix_size + version_payload_size;

// Writes the version_frame_size bytes of the version frame.
constexpr void encode_version_frame(uint8_t* out) {
    encode_frame_prefix(out, version_payload_size);
    uint8_t* payload = out + frame_prefix_size;
    payload[0] = version_message_type;
    for (size_t i = 0; i + 1 < sizeof version; ++i) {
        payload[version_text_offset + i] = static_cast<uint8_t>(version[i]);
    }
}

// A DNS record, the payload of message type 2; D, S and P are the lengths of the device
// address, the server address and the DNS message:
//   offset 0          1 byte   type, 0x02
//   offset 1          4 bytes  time, unsigned seconds since 1970-01-01T00:00:00Z, big-endian
//   offset 5          1 byte   D
//   offset 6          D bytes  the device address text, without terminator
//   offset 6 + D      1 byte   S
//   offset 7 + D      S bytes  the server address text, without terminator
//   offset 7 + D + S  1 byte   is_tcp, as captured
//   offset 8 + D + S  P bytes  the DNS message, as captured
// Total 8 + D + S + P; the frame carries the length.
inline constexpr size_t record_time_offset = 1;
inline constexpr size_t record_device_length_offset = 5;
inline constexpr size_t record_fixed_size = 8;  // all but the two texts and the DNS message
inline constexpr size_t max_address_length = 255;

// Everything of a record before its DNS message; each text at most max_address_length bytes.
struct RecordHeader {
    uint32_t time = 0;
    std::string_view device_ip;
    std::string_view server_ip;
    uint8_t is_tcp = 0;
};

struct Record {
    RecordHeader header;
    const uint8_t* packet = nullptr;
    size_t packet_size = 0;
};

constexpr size_t record_size(const RecordHeader& header, size_t packet_size) {
    return record_fixed_size + header.device_ip.size() + header.server_ip.size() + packet_size;
}

namespace detail {

inline uint8_t* put_address(uint8_t* out, std::string_view text) {
    *out++ = static_cast<uint8_t>(text.size());
    if (!text.empty()) {
        std::memcpy(out, text.data(), text.size());
    }
    return out + text.size();
}

}  // namespace detail

// Writes the record up to its DNS message into out, which holds record_size bytes; returns
// where the DNS message goes, so that it can be written there in place.
inline uint8_t* encode_record_header(const RecordHeader& header, uint8_t* out) {
    out[0] = dns_record_type;
    store_be32(out + record_time_offset, header.time);
    out = detail::put_address(out + record_device_length_offset, header.device_ip);
    out = detail::put_address(out, header.server_ip);
    *out++ = header.is_tcp;
    return out;
}

enum class RecordFault { none, too_short, device_overrun, server_overrun };

// Reads the payload of a type 2 frame; the views point into it. With an overrun,
// overrun_length is the address length that does not fit.
inline RecordFault decode_record(const uint8_t* payload, size_t size, Record& record,
                                 size_t& overrun_length) {
    if (size < record_fixed_size) {
        return RecordFault::too_short;
    }
    record.header.time = load_be32(payload + record_time_offset);
    const uint8_t* at = payload + record_device_length_offset;
    const size_t device_length = *at++;
    if (record_fixed_size + device_length > size) {
        overrun_length = device_length;
        return RecordFault::device_overrun;
    }
    record.header.device_ip = std::string_view(reinterpret_cast<const char*>(at), device_length);
    at += device_length;
    const size_t server_length = *at++;
    if (record_fixed_size + device_length + server_length > size) {
        overrun_length = server_length;
        return RecordFault::server_overrun;
    }
    record.header.server_ip = std::string_view(reinterpret_cast<const char*>(at), server_length);
    at += server_length;
    record.header.is_tcp = *at++;
    record.packet = at;
    record.packet_size = size - static_cast<size_t>(at - payload);
    return RecordFault::none;
}

}  // namespace tarn::sensor::wire
