#pragma once

// A dnstap message as the DNS Server packet event the stand-in hands to the consumer.
#include <cstddef>
#include <cstdint>

#include "net/standin/dnstap.hpp"
#include "net/standin/standin_event.hpp"

namespace tarn::net::dnstap {

// FILETIME of a dnstap time, false when it is out of range.
bool filetime_of(uint64_t seconds, uint32_t nanoseconds, int64_t& filetime);

// One dnstap message as a DNS Server packet event: the event ID, its time and its properties
// in the provider's order; the properties point into this object and into the frame.
struct Event {
    USHORT id = 0;
    int64_t timestamp = 0;
    standin::PropertyValue properties[6];
    size_t property_count = 0;

    uint8_t is_tcp = 0;
    char server_ip[46];
    char client_ip[46];
    uint8_t port[2];
    uint8_t buffer_size[2];
};

// What became of one dnstap message. Messages that are not about a query the server answered
// are ignored by design; the others that cannot give a faithful record are dropped.
enum class Outcome {
    event,
    ignored,
    no_dns_message,
    no_client_address,
    no_server_address,
    bad_address,
};
inline constexpr size_t outcome_count = 6;
// For the log: why a message was dropped.
const char* outcome_text(Outcome outcome);

// now_filetime is the fall-back time when the message carries none.
Outcome to_event(const Message& message, int64_t now_filetime, Event& event);

}  // namespace tarn::net::dnstap
