#include "collector/dns_decoder.hpp"

#include "support/byte_order.hpp"

namespace tarn::collector {

namespace {

// Reads the name at offset; on success offset is just past it (past the first pointer, if
// any). Every pointer must lead below everything read so far, so no input loops.
bool read_name(const uint8_t* packet, size_t size, size_t& offset, std::string& name,
               std::string& error) {
    size_t position = offset;
    size_t lowest = offset;  // lowest offset of any byte of the name read so far
    size_t wire_length = 0;
    bool jumped = false;
    for (;;) {
        if (position >= size) {
            error = "name runs past the end of the packet at offset " + std::to_string(position);
            return false;
        }
        uint8_t length = packet[position];
        if ((length & 0xC0) == 0xC0) {
            if (position + 1 >= size) {
                error = "compression pointer cut off at offset " + std::to_string(position);
                return false;
            }
            size_t target = load_be16(packet + position) & 0x3FFF;
            if (target >= lowest) {
                error = "compression pointer at offset " + std::to_string(position) + " to " +
                        std::to_string(target) + " does not point backwards (loop)";
                return false;
            }
            if (!jumped) {
                offset = position + 2;
                jumped = true;
            }
            position = target;
            lowest = target;
            continue;
        }
        if ((length & 0xC0) != 0) {
            error = std::string("unsupported label type ") +
                    ((length & 0xC0) == 0x40 ? "0x40" : "0x80") + " at offset " +
                    std::to_string(position);
            return false;
        }
        wire_length += 1 + size_t{length};
        if (wire_length > max_name_length) {
            error = "name longer than 255 bytes";
            return false;
        }
        if (length == 0) {
            if (!jumped) {
                offset = position + 1;
            }
            if (name.empty()) {
                name = ".";
            }
            return true;
        }
        if (position + 1 + length > size) {
            error =
                "label at offset " + std::to_string(position) + " runs past the end of the packet";
            return false;
        }
        for (size_t i = 0; i < length; ++i) {
            char c = static_cast<char>(packet[position + 1 + i]);
            if (c == '.' || c == '\\') {
                name += '\\';
            }
            name += c;
        }
        name += '.';
        position += 1 + size_t{length};
    }
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
    if (size < dns_header_size) {
        summary.error = "packet of " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                        " shorter than a DNS header";
        return;
    }
    summary.id = load_be16(packet);
    summary.flags = load_be16(packet + 2);
    summary.qr = (summary.flags & 0x8000) != 0;
    summary.opcode = static_cast<uint8_t>((summary.flags >> 11) & 0x0F);
    summary.rcode = static_cast<uint8_t>(summary.flags & 0x0F);
    summary.qdcount = load_be16(packet + 4);
    if (summary.qdcount == 0) {
        summary.ok = true;
        return;
    }
    size_t offset = dns_header_size;
    if (!read_name(packet, size, offset, summary.qname, summary.error)) {
        summary.error = "bad question name: " + summary.error;
        summary.qname.clear();
        return;
    }
    if (offset + 4 > size) {
        summary.error = "question cut off after the name at offset " + std::to_string(offset);
        summary.qname.clear();
        return;
    }
    summary.qtype = load_be16(packet + offset);
    summary.qclass = load_be16(packet + offset + 2);
    summary.has_question = true;
    summary.ok = true;
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
    static const char* const names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                        "NOTIMP",  "REFUSED", "YXDOMAIN", "YXRRSET",
                                        "NXRRSET", "NOTAUTH", "NOTZONE",  "DSOTYPENI"};
    if (rcode < sizeof(names) / sizeof(names[0])) {
        return names[rcode];
    }
    return "RCODE" + std::to_string(rcode);
}

std::string qtype_name(uint16_t qtype) {
    static const struct {
        uint16_t type;
        const char* name;
    } names[] = {
        {1, "A"},           {2, "NS"},      {5, "CNAME"},   {6, "SOA"},       {12, "PTR"},
        {13, "HINFO"},      {15, "MX"},     {16, "TXT"},    {17, "RP"},       {18, "AFSDB"},
        {24, "SIG"},        {25, "KEY"},    {28, "AAAA"},   {29, "LOC"},      {33, "SRV"},
        {35, "NAPTR"},      {36, "KX"},     {37, "CERT"},   {39, "DNAME"},    {41, "OPT"},
        {42, "APL"},        {43, "DS"},     {44, "SSHFP"},  {45, "IPSECKEY"}, {46, "RRSIG"},
        {47, "NSEC"},       {48, "DNSKEY"}, {49, "DHCID"},  {50, "NSEC3"},    {51, "NSEC3PARAM"},
        {52, "TLSA"},       {53, "SMIMEA"}, {55, "HIP"},    {59, "CDS"},      {60, "CDNSKEY"},
        {61, "OPENPGPKEY"}, {62, "CSYNC"},  {63, "ZONEMD"}, {64, "SVCB"},     {65, "HTTPS"},
        {99, "SPF"},        {249, "TKEY"},  {250, "TSIG"},  {251, "IXFR"},    {252, "AXFR"},
        {255, "ANY"},       {256, "URI"},   {257, "CAA"}};
    for (const auto& entry : names) {
        if (entry.type == qtype) {
            return entry.name;
        }
    }
    return "TYPE" + std::to_string(qtype);
}

}  // namespace tarn::collector
