#include "collector/dns_decoder.hpp"

#include <ldns/ldns.h>

#include <memory>

#include "support/byte_order.hpp"

namespace tarn::collector {

namespace {

struct RdfFree {
    void operator()(ldns_rdf* rdf) const { ldns_rdf_deep_free(rdf); }
};

// The name in presentation form with ldns's escapes. Written here because
// ldns_rdf2buffer_str_dname prints every byte through ldns_buffer_printf: about 650 ns a
// name, more than the rest of a record's JSON line.
void present_name(const ldns_rdf* name, std::string& out) {
    const uint8_t* data = ldns_rdf_data(name);
    const size_t size = ldns_rdf_size(name);
    for (size_t at = 0; at < size && data[at] != 0; at += 1 + size_t{data[at]}) {
        for (size_t i = at + 1; i <= at + data[at] && i < size; ++i) {
            const unsigned char c = data[i];
            if (c == '.' || c == ';' || c == '(' || c == ')' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x21 || c > 0x7e) {
                const char digits[] = {'\\', static_cast<char>('0' + c / 100),
                                       static_cast<char>('0' + c / 10 % 10),
                                       static_cast<char>('0' + c % 10)};
                out.append(digits, sizeof(digits));
            } else {
                out += static_cast<char>(c);
            }
        }
        out += '.';
    }
    if (out.empty()) {
        out = ".";
    }
}

void read_question(const uint8_t* packet, size_t size, DnsSummary& summary) {
    size_t offset = LDNS_HEADER_SIZE;
    ldns_rdf* parsed = nullptr;
    const ldns_status status = ldns_wire2dname(&parsed, packet, size, &offset);
    std::unique_ptr<ldns_rdf, RdfFree> name(parsed);
    if (status != LDNS_STATUS_OK) {
        summary.error = std::string("bad question name: ") + ldns_get_errorstr_by_id(status);
        return;
    }
    if (offset + 4 > size) {
        summary.error = "question cut off after the name at offset " + std::to_string(offset);
        return;
    }
    present_name(name.get(), summary.qname);
    summary.qtype = load_be16(packet + offset);
    summary.qclass = load_be16(packet + offset + 2);
    summary.has_question = true;
    summary.ok = true;
}

}  // namespace

void decode_dns(const uint8_t* packet, size_t size, DnsSummary& summary) {
    summary.ok = false;
    summary.error.clear();
    summary.qname.clear();
    summary.has_question = false;
    summary.id = summary.flags = summary.qdcount = summary.qtype = summary.qclass = 0;
    summary.qr = false;
    summary.opcode = summary.rcode = 0;
    if (size < LDNS_HEADER_SIZE) {
        summary.error = "packet of " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                        " shorter than a DNS header";
        return;
    }
    summary.id = LDNS_ID_WIRE(packet);
    summary.flags = load_be16(packet + 2);
    summary.qr = LDNS_QR_WIRE(packet) != 0;
    summary.opcode = LDNS_OPCODE_WIRE(packet);
    summary.rcode = LDNS_RCODE_WIRE(packet);
    summary.qdcount = LDNS_QDCOUNT(packet);
    if (summary.qdcount == 0) {
        summary.ok = true;
        return;
    }
    read_question(packet, size, summary);
}

std::string flag_names(uint16_t flags) {
    static const struct {
        uint16_t bit;
        const char* name;
    } names[] = {{0x8000, "qr"}, {0x0400, "aa"}, {0x0200, "tc"}, {0x0100, "rd"},
                 {0x0080, "ra"}, {0x0020, "ad"}, {0x0010, "cd"}};
    std::string text;
    for (const auto& flag : names) {
        if ((flags & flag.bit) != 0) {
            if (!text.empty()) {
                text += ' ';
            }
            text += flag.name;
        }
    }
    return text;
}

std::string rcode_name(uint8_t rcode) {
    const ldns_lookup_table* entry = ldns_lookup_by_id(ldns_rcodes, rcode);
    return entry != nullptr ? entry->name : "RCODE" + std::to_string(rcode);
}

std::string qtype_name(uint16_t qtype) {
    const ldns_rr_descriptor* descriptor = ldns_rr_descript(qtype);
    if (descriptor != nullptr && descriptor->_name != nullptr && descriptor->_type == qtype) {
        return descriptor->_name;
    }
    return "TYPE" + std::to_string(qtype);
}

}  // namespace tarn::collector
