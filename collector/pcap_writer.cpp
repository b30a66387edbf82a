#include "collector/pcap_writer.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/byte_order.hpp"

namespace tarn::collector {

namespace {

constexpr uint32_t pcap_magic = 0xa1b2c3d4;
constexpr uint32_t pcap_snaplen = 262144;
constexpr uint32_t linktype_raw = 101;
constexpr size_t max_tcp_streams = 4096;
constexpr uint8_t proto_tcp = 6;
constexpr uint8_t proto_udp = 17;

struct Address {
    bool v6 = false;
    uint8_t bytes[16] = {};
    size_t size() const { return v6 ? 16 : 4; }
};

// Texts that are not an address of the family in use become 0.0.0.0 or ::.
Address parse_address(std::string_view text, bool v6) {
    Address address;
    address.v6 = v6;
    if (text.find('\0') != std::string_view::npos) {
        return address;
    }
    std::string copy(text);
    if (v6) {
        if (inet_pton(AF_INET6, copy.c_str(), address.bytes) != 1 &&
            inet_pton(AF_INET, copy.c_str(), address.bytes + 12) == 1) {
            address.bytes[10] = address.bytes[11] = 0xff;  // IPv4-mapped
        }
    } else if (inet_pton(AF_INET, copy.c_str(), address.bytes) != 1) {
        std::memset(address.bytes, 0, sizeof(address.bytes));
    }
    return address;
}

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

}  // namespace

bool build_ip_packet(const Message& message, const PacketPlan& plan, std::vector<uint8_t>& out,
                     std::string& error) {
    bool v6 = message.device_ip.find(':') != std::string_view::npos ||
              message.server_ip.find(':') != std::string_view::npos;
    bool tcp = message.is_tcp != 0;
    size_t ip_header = v6 ? 40 : 20;
    size_t transport_header = tcp ? 20 : 8;
    size_t payload = message.packet_size + (tcp ? 2 : 0);
    size_t segment = transport_header + payload;
    // IPv4 counts its header in the 16-bit total length, IPv6 does not; the TCP length prefix
    // is 16 bits as well.
    if ((v6 ? segment : ip_header + segment) > 0xFFFF || (tcp && message.packet_size > 0xFFFF)) {
        error = "DNS packet of " + std::to_string(message.packet_size) +
                " bytes does not fit one IP packet";
        return false;
    }
    Address device = parse_address(message.device_ip, v6);
    Address server = parse_address(message.server_ip, v6);
    const Address& source = plan.response ? server : device;
    const Address& destination = plan.response ? device : server;
    uint16_t source_port = plan.response ? dns_port : plan.client_port;
    uint16_t destination_port = plan.response ? plan.client_port : dns_port;
    uint8_t protocol = tcp ? proto_tcp : proto_udp;

    out.clear();
    if (v6) {
        put32(out, 0x60000000);
        put16(out, static_cast<uint16_t>(segment));
        out.push_back(protocol);
        out.push_back(64);
    } else {
        out.push_back(0x45);
        out.push_back(0);
        put16(out, static_cast<uint16_t>(ip_header + segment));
        put16(out, plan.ip_id);
        put16(out, 0x4000);  // don't fragment
        out.push_back(64);
        out.push_back(protocol);
        put16(out, 0);  // checksum, below
    }
    out.insert(out.end(), source.bytes, source.bytes + source.size());
    out.insert(out.end(), destination.bytes, destination.bytes + destination.size());
    if (!v6) {
        store_be16(out.data() + 10, fold(sum16(out.data(), ip_header, 0)));
    }

    size_t transport = out.size();
    put16(out, source_port);
    put16(out, destination_port);
    size_t checksum_at;
    if (tcp) {
        put32(out, plan.seq);
        put32(out, plan.ack);
        out.push_back(0x50);  // 5 words, no options
        out.push_back(0x18);  // PSH|ACK
        put16(out, 0xFFFF);
        checksum_at = out.size();
        put16(out, 0);
        put16(out, 0);
        put16(out, static_cast<uint16_t>(message.packet_size));
    } else {
        put16(out, static_cast<uint16_t>(segment));
        checksum_at = out.size();
        put16(out, 0);
    }
    out.insert(out.end(), message.packet, message.packet + message.packet_size);

    // Pseudo-header: both addresses, protocol, segment length.
    uint32_t sum = sum16(source.bytes, source.size(), 0);
    sum = sum16(destination.bytes, destination.size(), sum);
    sum += protocol;
    sum += static_cast<uint32_t>(segment);
    uint16_t checksum = fold(sum16(out.data() + transport, segment, sum));
    if (!tcp && checksum == 0) {
        checksum = 0xFFFF;  // 0 means "no checksum" for UDP
    }
    store_be16(out.data() + checksum_at, checksum);
    return true;
}

PcapWriter::PcapWriter(const std::string& path) : file(std::fopen(path.c_str(), "wb")) {
    if (!file) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    uint8_t header[24] = {};
    store_le32(header, pcap_magic);
    header[4] = 2;  // version 2.4
    header[6] = 4;
    store_le32(header + 16, pcap_snaplen);
    store_le32(header + 20, linktype_raw);
    put(header, sizeof(header));
    if (!flush()) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
}

bool PcapWriter::write(const Message& message, const DnsSummary& dns, std::string& error) {
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
    uint8_t header[16];
    store_le32(header, message.time);
    store_le32(header + 4, 0);
    store_le32(header + 8, static_cast<uint32_t>(packet.size()));
    store_le32(header + 12, static_cast<uint32_t>(packet.size()));
    put(header, sizeof(header));
    put(packet.data(), packet.size());
    return true;
}

void PcapWriter::put(const void* data, size_t size) {
    if (std::fwrite(data, 1, size, file.get()) != size) {
        write_failed = true;
    }
}

bool PcapWriter::flush() {
    if (std::fflush(file.get()) != 0) {
        write_failed = true;
    }
    return !write_failed;
}

}  // namespace tarn::collector
