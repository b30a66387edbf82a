#include "collector/message_decoder.hpp"

namespace tarn::collector {

namespace {

std::string bytes_text(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string_view text_at(const uint8_t* p, size_t n) {
    return std::string_view(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool decode_message(const uint8_t* payload, size_t size, Message& message, std::string& error) {
    message = Message{};
    if (size == 0) {
        error = "empty frame (length 0)";
        return false;
    }
    message.type = payload[0];
    if (message.type == version_message_type) {
        if (size <= sensor::wire::version_text_offset) {
            error = "version frame of " + bytes_text(size) + " holds no version text";
            return false;
        }
        message.version = text_at(payload + sensor::wire::version_text_offset,
                                  size - sensor::wire::version_text_offset);
        return true;
    }
    if (message.type != dns_record_type) {
        error = "unknown message type " + std::to_string(message.type) + " in a frame of " +
                bytes_text(size);
        return false;
    }
    sensor::wire::Record record;
    size_t overrun_length = 0;
    switch (sensor::wire::decode_record(payload, size, record, overrun_length)) {
        case sensor::wire::RecordFault::too_short:
            error = "frame of " + bytes_text(size) + " too short for a DNS event record";
            return false;
        case sensor::wire::RecordFault::device_overrun:
            error = "device address of " + bytes_text(overrun_length) + " overruns the frame of " +
                    bytes_text(size);
            return false;
        case sensor::wire::RecordFault::server_overrun:
            error = "server address of " + bytes_text(overrun_length) + " overruns the frame of " +
                    bytes_text(size);
            return false;
        case sensor::wire::RecordFault::none:
            break;
    }
    message.time = record.header.time;
    message.device_ip = record.header.device_ip;
    message.server_ip = record.header.server_ip;
    message.is_tcp = record.header.is_tcp;
    message.packet = record.packet;
    message.packet_size = record.packet_size;
    return true;
}

}  // namespace tarn::collector
