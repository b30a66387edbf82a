#include "collector/connection_stream.hpp"

#include <utility>

#include "collector/json_writer.hpp"

namespace tarn::collector {

ConnectionStream::ConnectionStream(uint64_t conn, std::string peer, uint32_t max_frame)
    : conn_id(conn), peer_text(std::move(peer)), reassembler(max_frame) {}

std::string ConnectionStream::prefix() const {
    return "conn " + std::to_string(conn_id) + " from " + peer_text + ": ";
}

bool ConnectionStream::consume(const uint8_t* data, size_t size, std::string& json,
                               std::string& notes, PcapWriter* pcap) {
    if (failed) {
        return false;
    }
    reassembler.feed(data, size);
    const uint8_t* payload = nullptr;
    size_t payload_size = 0;
    for (;;) {
        FrameReassembler::Status status = reassembler.next(payload, payload_size);
        if (status == FrameReassembler::Status::need_more) {
            return true;
        }
        if (status == FrameReassembler::Status::error) {
            error = reassembler.error();
        } else {
            ++frame_count;
            if (decode_message(payload, payload_size, message, error)) {
                error.clear();
            }
        }
        if (!error.empty()) {
            notes += prefix() + error + "; connection dropped\n";
            failed = true;
            return false;
        }
        if (message.type == version_message_type) {
            version_seen = true;
            append_version_json(json, conn_id, message.version);
            continue;
        }
        if (!version_seen && early_records++ == 0) {
            notes += prefix() + "DNS event record before any version message\n";
        }
        ++record_count;
        decode_dns(message.packet, message.packet_size, dns);
        append_dns_json(json, conn_id, message, dns);
        if (pcap != nullptr && !pcap->write(message, dns, error)) {
            notes += prefix() + "record " + std::to_string(record_count) +
                     " not in the pcap: " + error + "\n";
            error.clear();
        }
    }
}

std::string ConnectionStream::close_note() const {
    std::string note = prefix() + "closed after " + std::to_string(frame_count) +
                       (frame_count == 1 ? " frame" : " frames");
    if (reassembler.pending() > 0) {
        note += ", " + std::to_string(reassembler.pending()) + " bytes of an incomplete frame lost";
    }
    if (early_records > 0) {
        note +=
            ", " + std::to_string(early_records) + " DNS event records before any version message";
    }
    return note + "\n";
}

}  // namespace tarn::collector
