#pragma once

// The few fields of a dnstap protobuf message that a DNS server's packet events need. Decoding
// is bounds-checked and allocation-free: byte fields point into the frame they were decoded from.
#include <cstddef>
#include <cstdint>

namespace tarn::net::dnstap {

inline constexpr uint32_t dnstap_type_message = 1;

// The messages a DNS server reports about the queries it answers; the server's own outgoing
// traffic (resolver, forwarder, stub, tool, update) is not a packet event on Windows either.
enum MessageType : uint32_t {
    auth_query = 1,
    auth_response = 2,
    client_query = 5,
    client_response = 6,
};

enum SocketProtocol : uint32_t {
    udp = 1,
    tcp = 2,
    dot = 3,
    doh = 4,
    dnscrypt_tcp = 6,
};

struct Field {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool present = false;
};

struct Message {
    bool has_dnstap_type = false;
    uint32_t dnstap_type = 0;  // Dnstap.type
    bool has_message = false;  // Dnstap.message, the fields below
    uint32_t type = 0;
    uint32_t socket_family = 0;
    uint32_t socket_protocol = 0;
    Field query_address;
    Field response_address;
    bool has_query_port = false;
    uint32_t query_port = 0;
    bool has_query_time = false;
    uint64_t query_time_sec = 0;
    uint32_t query_time_nsec = 0;
    Field query_message;
    bool has_response_time = false;
    uint64_t response_time_sec = 0;
    uint32_t response_time_nsec = 0;
    Field response_message;
};

// Decodes one Dnstap protobuf message; unknown fields of every wire type are skipped. False on
// a malformed encoding (truncation, overlong varint, bad wire type, groups out of balance).
bool decode(const uint8_t* data, size_t size, Message& message);

// A 4-byte or 16-byte raw address as text: a dotted quad for IPv4 and for IPv4-mapped IPv6
// (what a dual-stack listener reports for an IPv4 peer), else IPv6 in the RFC 5952 form;
// anything else gives the empty text. out needs 46 bytes; the text is NUL-terminated and its
// length returned.
size_t address_text(const Field& address, char* out);

}  // namespace tarn::net::dnstap
