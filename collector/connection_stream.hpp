#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/dns_decoder.hpp"
#include "collector/frame_reassembler.hpp"
#include "collector/message_decoder.hpp"
#include "collector/pcap_writer.hpp"

namespace tarn::collector {

// What one agent connection has sent: bytes in, JSON lines and notes out. Sockets stay with
// the caller.
class ConnectionStream {
  public:
    ConnectionStream(uint64_t conn, std::string peer, uint32_t max_frame);

    // Takes received bytes. Appends one JSON line per complete message to json and one line
    // per problem to notes (newlines included); pcap, when given, gets every DNS record.
    // False when the stream is malformed and the connection must be dropped (the reason is
    // in notes); nothing more is taken then.
    bool consume(const uint8_t* data, size_t size, std::string& json, std::string& notes,
                 PcapWriter* pcap);
    // The line for a connection that the peer ended; says what was lost with it.
    std::string close_note() const;

    uint64_t conn() const { return conn_id; }
    const std::string& peer() const { return peer_text; }
    uint64_t frames() const { return frame_count; }
    uint64_t records() const { return record_count; }
    uint64_t records_before_version() const { return early_records; }
    size_t incomplete_bytes() const { return reassembler.pending(); }

  private:
    std::string prefix() const;

    uint64_t conn_id;
    std::string peer_text;
    FrameReassembler reassembler;
    bool failed = false;
    bool version_seen = false;
    uint64_t frame_count = 0;
    uint64_t record_count = 0;
    uint64_t early_records = 0;
    Message message;
    DnsSummary dns;
    std::string error;
};

}  // namespace tarn::collector
