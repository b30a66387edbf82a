#include "collector/connection_stream.hpp"

#include "collector/clickhouse_row.hpp"
#include "collector/dnstap_writer.hpp"
#include "collector/json_writer.hpp"

namespace tarn::collector {

void RoundOutput::note(const std::string& line) {
    notes.bytes += line;
    notes.bytes += '\n';
    notes.seal();
}

namespace {

// "ADDR:PORT" or "[ADDR]:PORT" without the port.
std::string without_port(const std::string& peer) {
    const std::string host = peer.substr(0, peer.rfind(':'));
    return host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

}  // namespace

ConnectionStream::ConnectionStream(uint64_t conn, const std::string& peer, uint32_t max_frame)
    : conn_id(conn),
      label_text("conn " + std::to_string(conn_id) + " from " + peer),
      agent_text(without_port(peer)),
      reassembler(max_frame) {}

void ConnectionStream::set_subject(const std::string& subject) {
    subject_text = subject;
    agent_text = subject;
    label_text += " (" + subject + ")";
}

bool ConnectionStream::consume(const uint8_t* data, size_t size, RoundOutput& out) {
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
            out.note(label_text + ": " + error + "; connection dropped");
            failed = true;
            return false;
        }
        take_message(out);
    }
}

void ConnectionStream::take_message(RoundOutput& out) {
    if (message.type == version_message_type) {
        version_text = message.version;
        if (out.json_on) {
            append_version_json(out.json.bytes, conn_id, subject_text, agent_text, message.version);
            out.json.seal();
        }
        return;
    }
    if (version_text.empty() && early_records++ == 0) {
        out.note(label_text + ": DNS event record before any version message");
    }
    ++record_count;
    decode_dns(message.packet, message.packet_size, dns);
    if (out.json_on) {
        append_dns_json(out.json.bytes, conn_id, subject_text, agent_text, message, dns);
        out.json.seal();
    }
    if (out.clickhouse_on) {
        append_clickhouse_row(out.clickhouse.bytes, agent_text, message, dns);
        out.clickhouse.seal();
    }
    if (out.dnstap_on) {
        append_dnstap(out.dnstap, message, label_text, version_text);
    }
    if (out.pcap_encoder != nullptr && !out.pcap_encoder->append(message, dns, out.pcap, error)) {
        out.note(label_text + ": record " + std::to_string(record_count) +
                 " not in the pcap: " + error);
        error.clear();
    }
}

std::string ConnectionStream::close_note() const {
    std::string note = label_text + ": closed after " + std::to_string(frame_count) +
                       (frame_count == 1 ? " frame" : " frames");
    if (reassembler.pending() > 0) {
        note += ", " + std::to_string(reassembler.pending()) + " bytes of an incomplete frame lost";
    }
    if (early_records > 0) {
        note +=
            ", " + std::to_string(early_records) + " DNS event records before any version message";
    }
    return note;
}

}  // namespace tarn::collector
