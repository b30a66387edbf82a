#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sensor/wire_format.hpp"

namespace tarn::collector {

using sensor::wire::dns_record_type;
using sensor::wire::version_message_type;

// One frame's payload, decoded. The views point into the payload.
struct Message {
    uint8_t type = 0;
    std::string_view version;  // type 1
    // type 2
    uint32_t time = 0;
    std::string_view device_ip;
    std::string_view server_ip;
    uint8_t is_tcp = 0;
    const uint8_t* packet = nullptr;
    size_t packet_size = 0;
};

// Decodes a frame payload. False with the problem in error when the frame is malformed: the
// stream it came from can no longer be trusted.
bool decode_message(const uint8_t* payload, size_t size, Message& message, std::string& error);

}  // namespace tarn::collector
