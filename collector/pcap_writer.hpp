#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collector/dns_decoder.hpp"
#include "collector/ip_address.hpp"
#include "collector/message_decoder.hpp"
#include "collector/output_queue.hpp"

namespace tarn::collector {

constexpr uint16_t dns_port = 53;
constexpr uint16_t first_client_port = 40000;

// Where one record's packet goes on a synthetic IP link.
struct PacketPlan {
    bool response = false;  // server to device; a query goes device to server
    uint16_t client_port = first_client_port;
    uint32_t seq = 1;  // TCP only
    uint32_t ack = 1;
    uint16_t ip_id = 0;  // IPv4 only
};

// Builds the raw IP packet (IPv4, or IPv6 when either address holds a colon) carrying the
// record's DNS packet over UDP or, for is_tcp, one TCP segment with PSH|ACK and the 2-byte
// length prefix. Checksums are real. False with the reason when it cannot fit one IP packet.
bool build_ip_packet(const Message& message, const PacketPlan& plan, std::vector<uint8_t>& out,
                     std::string& error);

// Turns records into the synthetic packets of a pcap file, in the reading thread.
class PcapEncoder {
  public:
    // Appends one item, the record's time (4 bytes, big-endian) and its packet; false with the
    // reason when the record cannot be one packet.
    bool append(const Message& message, const DnsSummary& dns, Batch& batch, std::string& error);

  private:
    uint16_t next_ip_id = 1;
    std::vector<uint8_t> packet;
    // Next sequence numbers of the synthetic TCP stream of each device/server pair:
    // first = device side, second = server side.
    std::map<std::string, std::pair<uint32_t, uint32_t>> tcp_streams;
};

// A classic pcap file of raw IP packets (LINKTYPE_RAW) through libpcap's dump writer.
class PcapSink : public Sink {
  public:
    // Creates the file and writes its header; throws std::runtime_error when it cannot.
    explicit PcapSink(const std::string& path);

    bool write(const Batch& batch) override;
    std::string error() const override { return "pcap write failed: " + failure; }

  private:
    struct Closer {
        void operator()(pcap_t* p) const { pcap_close(p); }
        void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
    };

    std::unique_ptr<pcap_t, Closer> pcap;
    std::unique_ptr<pcap_dumper_t, Closer> dumper;
    std::string failure;
};

}  // namespace tarn::collector
