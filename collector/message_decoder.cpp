#include "collector/message_decoder.hpp"

#include "support/byte_order.hpp"

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
        if (size < 2) {
            error = "version frame of " + bytes_text(size) + " holds no version text";
            return false;
        }
        message.version = text_at(payload + 1, size - 1);
        return true;
    }
    if (message.type != dns_event_message_type) {
        error = "unknown message type " + std::to_string(message.type) + " in a frame of " +
                bytes_text(size);
        return false;
    }
    // type, time, D, S and is_tcp: 8 bytes before the two addresses and the packet.
    if (size < 8) {
        error = "frame of " + bytes_text(size) + " too short for a DNS event record";
        return false;
    }
    message.time = load_be32(payload + 1);
    size_t device_length = payload[5];
    if (8 + device_length > size) {
        error = "device address of " + bytes_text(device_length) + " overruns the frame of " +
                bytes_text(size);
        return false;
    }
    message.device_ip = text_at(payload + 6, device_length);
    size_t server_length = payload[6 + device_length];
    if (8 + device_length + server_length > size) {
        error = "server address of " + bytes_text(server_length) + " overruns the frame of " +
                bytes_text(size);
        return false;
    }
    message.server_ip = text_at(payload + 7 + device_length, server_length);
    message.is_tcp = payload[7 + device_length + server_length];
    message.packet = payload + 8 + device_length + server_length;
    message.packet_size = size - 8 - device_length - server_length;
    return true;
}

}  // namespace tarn::collector
