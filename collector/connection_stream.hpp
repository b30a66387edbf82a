#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/dns_decoder.hpp"
#include "collector/frame_reassembler.hpp"
#include "collector/message_decoder.hpp"
#include "collector/output_queue.hpp"
#include "collector/pcap_writer.hpp"

namespace tarn::collector {

// What reading fills, one batch per output, for the caller to hand to the output queues.
struct RoundOutput {
    Batch json;
    Batch notes;
    Batch pcap;        // only with pcap_encoder
    Batch dnstap;      // only with dnstap_on
    Batch clickhouse;  // RowBinary rows, only with clickhouse_on
    PcapEncoder* pcap_encoder = nullptr;
    bool json_on = true;
    bool dnstap_on = false;
    bool clickhouse_on = false;

    // One line of notes; the newline is added.
    void note(const std::string& line);
    size_t bytes() const {
        return json.bytes.size() + notes.bytes.size() + pcap.bytes.size() + dnstap.bytes.size() +
               clickhouse.bytes.size();
    }
};

// What one agent connection has sent: bytes in, JSON lines, dnstap messages, pcap packets
// and notes out. Sockets stay with the caller.
class ConnectionStream {
  public:
    ConnectionStream(uint64_t conn, const std::string& peer, uint32_t max_frame);

    // Takes received bytes; every complete message becomes one item of each output that is
    // on, every problem one note. False when the stream is malformed and the connection must
    // be dropped (the reason is in the notes); nothing more is taken then.
    bool consume(const uint8_t* data, size_t size, RoundOutput& out);
    // The line for a connection that ended; says what was lost with it.
    std::string close_note() const;

    // The agent's certificate subject, once TLS authenticated it: part of the label from now on,
    // and of every JSON line.
    void set_subject(const std::string& subject);

    // "conn N from ADDR:PORT" (then " (SUBJECT)"), the start of every note and the dnstap
    // identity.
    const std::string& label() const { return label_text; }
    // The agent: its TLS subject, else its address without the port, the same for each of its
    // connections.
    const std::string& agent() const { return agent_text; }
    bool version_seen() const { return !version_text.empty(); }
    uint64_t frames() const { return frame_count; }
    uint64_t records() const { return record_count; }
    size_t incomplete_bytes() const { return reassembler.pending(); }

  private:
    void take_message(RoundOutput& out);

    uint64_t conn_id;
    std::string label_text;
    std::string subject_text;
    std::string agent_text;
    FrameReassembler reassembler;
    bool failed = false;
    std::string version_text;  // of the last version frame
    uint64_t frame_count = 0;
    uint64_t record_count = 0;
    uint64_t early_records = 0;
    Message message;
    DnsSummary dns;
    std::string error;
};

}  // namespace tarn::collector
