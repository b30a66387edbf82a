#include "collector/clickhouse_row.hpp"

#include <cstdint>

namespace tarn::collector {

namespace {

// Little-endian, as RowBinary writes every number.
void put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

// A String: its length as an unsigned LEB128 number, then the bytes.
void put(std::string& out, std::string_view text) {
    uint64_t length = text.size();
    do {
        out += static_cast<char>((length & 0x7f) | (length > 0x7f ? 0x80 : 0));
        length >>= 7;
    } while (length != 0);
    out += text;
}

}  // namespace

void append_clickhouse_row(std::string& out, std::string_view agent, const Message& message,
                           const DnsSummary& dns) {
    const bool question = dns.ok && dns.has_question;
    put(out, message.time, 4);
    put(out, agent);
    put(out, message.device_ip);
    put(out, message.server_ip);
    put(out, message.is_tcp != 0 ? "tcp" : "udp");
    put(out, message.packet_size, 4);
    put(out, dns.ok ? dns.id : 0, 2);
    put(out, dns.ok && dns.qr ? 1 : 0, 1);
    put(out, dns.ok ? dns.opcode : 0, 1);
    put(out, dns.ok ? dns.rcode : 0, 1);
    put(out, question ? std::string_view(dns.qname) : std::string_view());
    put(out, question ? dns.qtype : 0, 2);
    put(out, std::string_view(reinterpret_cast<const char*>(message.packet), message.packet_size));
}

}  // namespace tarn::collector
