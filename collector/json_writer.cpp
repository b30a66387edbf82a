#include "collector/json_writer.hpp"

#include <ctime>

namespace tarn::collector {

namespace {

const char hex_digits[] = "0123456789abcdef";

void append_number(std::string& out, const char* key, uint64_t value) {
    out += ",\"";
    out += key;
    out += "\":";
    out += std::to_string(value);
}

void append_text(std::string& out, const char* key, std::string_view value) {
    out += ",\"";
    out += key;
    out += "\":";
    append_json_string(out, value);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7f) {
                    out += "\\u00";
                    out += hex_digits[byte >> 4];
                    out += hex_digits[byte & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string rfc3339_time(uint32_t seconds) {
    const time_t time = seconds;
    tm civil = {};
    char text[32];
    gmtime_r(&time, &civil);
    return std::string(text, std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &civil));
}

void append_hex(std::string& out, const uint8_t* data, size_t size) {
    out.reserve(out.size() + 2 * size);
    for (size_t i = 0; i < size; ++i) {
        out += hex_digits[data[i] >> 4];
        out += hex_digits[data[i] & 15];
    }
}

namespace {

// The connection: its number, the agent's certificate subject when TLS authenticated it, and
// the agent.
void append_conn(std::string& out, uint64_t conn, std::string_view subject,
                 std::string_view agent) {
    append_number(out, "conn", conn);
    if (!subject.empty()) {
        append_text(out, "subject", subject);
    }
    append_text(out, "agent", agent);
}

}  // namespace

void append_version_json(std::string& out, uint64_t conn, std::string_view subject,
                         std::string_view agent, std::string_view version) {
    out += "{\"type\":\"version\"";
    append_conn(out, conn, subject, agent);
    append_text(out, "version", version);
    out += "}\n";
}

void append_dns_json(std::string& out, uint64_t conn, std::string_view subject,
                     std::string_view agent, const Message& message, const DnsSummary& dns) {
    out += "{\"type\":\"dns\"";
    append_conn(out, conn, subject, agent);
    append_text(out, "time", rfc3339_time(message.time));
    append_text(out, "device", message.device_ip);
    append_text(out, "server", message.server_ip);
    append_text(out, "transport", message.is_tcp != 0 ? "tcp" : "udp");
    append_number(out, "length", message.packet_size);
    if (dns.ok) {
        append_number(out, "id", dns.id);
        append_number(out, "qr", dns.qr ? 1 : 0);
        append_number(out, "opcode", dns.opcode);
        append_text(out, "flags", flag_names(dns.flags));
        append_number(out, "rcode", dns.rcode);
        append_text(out, "rcode_name", rcode_name(dns.rcode));
        append_number(out, "qdcount", dns.qdcount);
        if (dns.has_question) {
            append_text(out, "qname", dns.qname);
            append_number(out, "qtype", dns.qtype);
            append_text(out, "qtype_name", qtype_name(dns.qtype));
        }
    } else {
        append_text(out, "dns_error", dns.error);
    }
    out += ",\"packet\":\"";
    append_hex(out, message.packet, message.packet_size);
    out += "\"}\n";
}

}  // namespace tarn::collector
