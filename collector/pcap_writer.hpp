#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collector/dns_decoder.hpp"
#include "collector/message_decoder.hpp"

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

// A classic pcap file of raw IP packets (LINKTYPE_RAW), one per DNS record.
class PcapWriter {
  public:
    // Creates the file and writes its header; throws std::runtime_error when it cannot.
    explicit PcapWriter(const std::string& path);

    // False with the reason when this record cannot be written as a packet (the file is fine).
    bool write(const Message& message, const DnsSummary& dns, std::string& error);
    // False once any write to the file failed.
    bool flush();
    bool failed() const { return write_failed; }

  private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    void put(const void* data, size_t size);

    std::unique_ptr<std::FILE, FileCloser> file;
    bool write_failed = false;
    uint16_t next_ip_id = 1;
    std::vector<uint8_t> packet;
    // Next sequence numbers of the synthetic TCP stream of each device/server pair:
    // first = device side, second = server side.
    std::map<std::string, std::pair<uint32_t, uint32_t>> tcp_streams;
};

}  // namespace tarn::collector
