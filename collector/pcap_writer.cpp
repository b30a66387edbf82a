#include "collector/pcap_writer.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/byte_order.hpp"

namespace tarn::collector {

namespace {

constexpr int pcap_snaplen = 262144;
constexpr size_t max_tcp_streams = 4096;
constexpr uint8_t proto_tcp = 6;
constexpr uint8_t proto_udp = 17;

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.resize(out.size() + 2);
    store_be16(out.data() + out.size() - 2, value);
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    out.resize(out.size() + 4);
    store_be32(out.data() + out.size() - 4, value);
}

// The Internet checksum's sum of big-endian 16-bit words; an odd last byte is padded with 0.
uint32_t sum16(const uint8_t* data, size_t size, uint32_t sum) {
    for (size_t i = 0; i + 1 < size; i += 2) {
        sum += load_be16(data + i);
    }
    if (size % 2 != 0) {
        const uint8_t last[2] = {data[size - 1], 0};
        sum += load_be16(last);
    }
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

// Where a record's packet goes on the synthetic link, and the sizes of its parts.
struct Layout {
    bool v6 = false;
    bool tcp = false;
    uint8_t protocol = proto_udp;
    size_t ip_header = 20;
    size_t segment = 0;  // the transport header and its payload
    IpAddress source;
    IpAddress destination;
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
};

// False with the reason when the DNS packet does not fit one IP packet.
bool lay_out(const Message& message, const PacketPlan& plan, Layout& layout, std::string& error) {
    const bool v6 = is_v6_pair(message.device_ip, message.server_ip);
    const bool tcp = message.is_tcp != 0;
    layout.v6 = v6;
    layout.tcp = tcp;
    layout.protocol = tcp ? proto_tcp : proto_udp;
    layout.ip_header = v6 ? 40 : 20;
    layout.segment = (tcp ? 20 : 8) + message.packet_size + (tcp ? 2 : 0);
    // IPv4 counts its header in the 16-bit total length, IPv6 does not; the TCP length prefix
    // is 16 bits as well.
    if ((v6 ? layout.segment : layout.ip_header + layout.segment) > 0xFFFF ||
        (tcp && message.packet_size > 0xFFFF)) {
        error = "DNS packet of " + std::to_string(message.packet_size) +
                " bytes does not fit one IP packet";
        return false;
    }
    IpAddress device = parse_address(message.device_ip, v6);
    IpAddress server = parse_address(message.server_ip, v6);
    layout.source = plan.response ? server : device;
    layout.destination = plan.response ? device : server;
    layout.source_port = plan.response ? dns_port : plan.client_port;
    layout.destination_port = plan.response ? plan.client_port : dns_port;
    return true;
}

void put_ip_header(const Layout& layout, uint16_t ip_id, std::vector<uint8_t>& out) {
    if (layout.v6) {
        put32(out, 0x60000000);
        put16(out, static_cast<uint16_t>(layout.segment));
        out.push_back(layout.protocol);
        out.push_back(64);
    } else {
        out.push_back(0x45);
        out.push_back(0);
        put16(out, static_cast<uint16_t>(layout.ip_header + layout.segment));
        put16(out, ip_id);
        put16(out, 0x4000);  // don't fragment
        out.push_back(64);
        out.push_back(layout.protocol);
        put16(out, 0);  // checksum, below
    }
    out.insert(out.end(), layout.source.bytes, layout.source.bytes + layout.source.size());
    out.insert(out.end(), layout.destination.bytes,
               layout.destination.bytes + layout.destination.size());
    if (!layout.v6) {
        store_be16(out.data() + 10, fold(sum16(out.data(), layout.ip_header, 0)));
    }
}

// The UDP header, or the TCP header and the 2-byte length prefix; returns where the checksum
// goes.
size_t put_transport_header(const Layout& layout, const PacketPlan& plan, size_t packet_size,
                            std::vector<uint8_t>& out) {
    put16(out, layout.source_port);
    put16(out, layout.destination_port);
    size_t checksum_at;
    if (layout.tcp) {
        put32(out, plan.seq);
        put32(out, plan.ack);
        out.push_back(0x50);  // 5 words, no options
        out.push_back(0x18);  // PSH|ACK
        put16(out, 0xFFFF);
        checksum_at = out.size();
        put16(out, 0);
        put16(out, 0);
        put16(out, static_cast<uint16_t>(packet_size));
    } else {
        put16(out, static_cast<uint16_t>(layout.segment));
        checksum_at = out.size();
        put16(out, 0);
    }
    return checksum_at;
}

// Over the pseudo-header (both addresses, protocol, segment length) and the segment.
uint16_t transport_checksum(const Layout& layout, const uint8_t* segment) {
    uint32_t sum = sum16(layout.source.bytes, layout.source.size(), 0);
    sum = sum16(layout.destination.bytes, layout.destination.size(), sum);
    sum += layout.protocol;
    sum += static_cast<uint32_t>(layout.segment);
    uint16_t checksum = fold(sum16(segment, layout.segment, sum));
    if (!layout.tcp && checksum == 0) {
        checksum = 0xFFFF;  // 0 means "no checksum" for UDP
    }
    return checksum;
}

}  // namespace

bool build_ip_packet(const Message& message, const PacketPlan& plan, std::vector<uint8_t>& out,
                     std::string& error) {
    Layout layout;
    if (!lay_out(message, plan, layout, error)) {
        return false;
    }
    out.clear();
    put_ip_header(layout, plan.ip_id, out);
    const size_t transport = out.size();
    const size_t checksum_at = put_transport_header(layout, plan, message.packet_size, out);
    out.insert(out.end(), message.packet, message.packet + message.packet_size);
    store_be16(out.data() + checksum_at, transport_checksum(layout, out.data() + transport));
    return true;
}

bool PcapEncoder::append(const Message& message, const DnsSummary& dns, Batch& batch,
                         std::string& error) {
    PacketPlan plan;
    plan.response = dns.qr;
    plan.ip_id = next_ip_id++;
    std::pair<uint32_t, uint32_t>* stream = nullptr;
    if (message.is_tcp != 0) {
        // One long-lived TCP stream per device/server pair with consistent sequence numbers.
        if (tcp_streams.size() >= max_tcp_streams) {
            tcp_streams.clear();
        }
        std::string key(message.device_ip);
        key += '\0';
        key += message.server_ip;
        stream = &tcp_streams.emplace(key, std::make_pair(1u, 1u)).first->second;
        plan.seq = plan.response ? stream->second : stream->first;
        plan.ack = plan.response ? stream->first : stream->second;
    } else {
        plan.client_port = static_cast<uint16_t>(first_client_port + dns.id % 20000);
    }
    if (!build_ip_packet(message, plan, packet, error)) {
        return false;
    }
    if (stream != nullptr) {
        uint32_t& next = plan.response ? stream->second : stream->first;
        next += static_cast<uint32_t>(message.packet_size + 2);
    }
    uint8_t time[4];
    store_be32(time, message.time);
    batch.bytes.append(reinterpret_cast<const char*>(time), sizeof(time));
    batch.bytes.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    batch.seal();
    return true;
}

PcapSink::PcapSink(const std::string& path)
    : pcap(pcap_open_dead(DLT_RAW, pcap_snaplen)),
      dumper(pcap ? pcap_dump_open(pcap.get(), path.c_str()) : nullptr) {
    if (!dumper) {
        throw std::runtime_error("cannot create " + path + ": " +
                                 (pcap ? pcap_geterr(pcap.get()) : "pcap_open_dead failed"));
    }
}

bool PcapSink::write(const Batch& batch) {
    size_t at = 0;
    for (uint32_t size : batch.sizes) {
        const auto* item = reinterpret_cast<const uint8_t*>(batch.bytes.data() + at);
        pcap_pkthdr header = {};
        header.ts.tv_sec = load_be32(item);
        header.caplen = header.len = size - 4;
        pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, item + 4);
        at += size;
    }
    if (pcap_dump_flush(dumper.get()) != 0) {
        failure = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tarn::collector
