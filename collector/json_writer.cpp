#include "collector/json_writer.hpp"

#include <cstdio>

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
    // Civil date from days since 1970-01-01 (proleptic Gregorian, eras of 400 years).
    int64_t days = seconds / 86400;
    uint32_t rest = seconds % 86400;
    days += 719468;
    int64_t era = days / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_index = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02u:%02u:%02uZ", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day), rest / 3600, rest / 60 % 60,
                  rest % 60);
    return text;
}

void append_hex(std::string& out, const uint8_t* data, size_t size) {
    out.reserve(out.size() + 2 * size);
    for (size_t i = 0; i < size; ++i) {
        out += hex_digits[data[i] >> 4];
        out += hex_digits[data[i] & 15];
    }
}

void append_version_json(std::string& out, uint64_t conn, std::string_view version) {
    out += "{\"type\":\"version\"";
    append_number(out, "conn", conn);
    append_text(out, "version", version);
    out += "}\n";
}

void append_dns_json(std::string& out, uint64_t conn, const Message& message,
                     const DnsSummary& dns) {
    out += "{\"type\":\"dns\"";
    append_number(out, "conn", conn);
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
