#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::collector {

// The header and the first question of a DNS message, read with ldns. Best effort on any
// bytes: when the header is short or the question malformed, ok is false and error says why.
struct DnsSummary {
    bool ok = false;
    std::string error;
    uint16_t id = 0;
    bool qr = false;
    uint8_t opcode = 0;
    uint16_t flags = 0;  // the header's second 16-bit word
    uint8_t rcode = 0;
    uint16_t qdcount = 0;
    bool has_question = false;  // qdcount > 0 and the first question decoded
    std::string qname;          // presentation form, "example.com.", escaped as ldns prints it
    uint16_t qtype = 0;
    uint16_t qclass = 0;
};

// summary is reset first; its string keeps its capacity.
void decode_dns(const uint8_t* packet, size_t size, DnsSummary& summary);

// Names of the set header flags in the order "qr aa tc rd ra ad cd", blank separated.
std::string flag_names(uint16_t flags);
// ldns's names, "NOERROR", "NXDOMAIN", ...; "RCODE12" for values without a name.
std::string rcode_name(uint8_t rcode);
// ldns's names, "A", "AAAA", ...; "TYPE65280" for values without a name.
std::string qtype_name(uint16_t qtype);

}  // namespace tarn::collector
