#include "collector/clickhouse_row.hpp"

#include <cstdint>
#include <cstring>

namespace tarn::collector {

namespace {

// Little-endian, as RowBinary writes every number.
char* put(char* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        *out++ = static_cast<char>(value >> (8 * i));
    }
    return out;
}

size_t leb128_size(uint64_t value) {
    size_t size = 1;
    while ((value >>= 7) != 0) {
        ++size;
    }
    return size;
}

// A String: its length as an unsigned LEB128 number, then the bytes.
char* put(char* out, std::string_view text) {
    uint64_t length = text.size();
    do {
        *out++ = static_cast<char>((length & 0x7f) | (length > 0x7f ? 0x80 : 0));
        length >>= 7;
    } while (length != 0);
    if (!text.empty()) {  // an empty view's data may be null
        std::memcpy(out, text.data(), text.size());
    }
    return out + text.size();
}

}  // namespace

void append_clickhouse_row(std::string& out, std::string_view agent, const Message& message,
                           const DnsSummary& dns) {
    const bool question = dns.ok && dns.has_question;
    const std::string_view strings[] = {
        agent,
        message.device_ip,
        message.server_ip,
        message.is_tcp != 0 ? "tcp" : "udp",
        question ? std::string_view(dns.qname) : std::string_view(),
        std::string_view(reinterpret_cast<const char*>(message.packet), message.packet_size)};
    size_t size = 4 + 4 + 2 + 1 + 1 + 1 + 2;  // the numbers
    for (const std::string_view text : strings) {
        size += leb128_size(text.size()) + text.size();
    }
    const size_t at = out.size();
    out.resize(at + size);  // one growth a row, then every column in place
    char* to = &out[at];
    to = put(to, message.time, 4);
    to = put(to, strings[0]);
    to = put(to, strings[1]);
    to = put(to, strings[2]);
    to = put(to, strings[3]);
    to = put(to, message.packet_size, 4);
    to = put(to, dns.ok ? dns.id : 0, 2);
    to = put(to, dns.ok && dns.qr ? 1 : 0, 1);
    to = put(to, dns.ok ? dns.opcode : 0, 1);
    to = put(to, dns.ok ? dns.rcode : 0, 1);
    to = put(to, strings[4]);
    to = put(to, question ? dns.qtype : 0, 2);
    put(to, strings[5]);
}

}  // namespace tarn::collector
