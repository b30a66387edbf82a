#include "net/standin/dnstap_event.hpp"

#include "net/dns_server_provider.hpp"
#include "support/byte_order.hpp"

namespace tarn::net::dnstap {

bool filetime_of(uint64_t seconds, uint32_t nanoseconds, int64_t& filetime) {
    // Far beyond any clock, and below the int64 limit of the sum.
    if (seconds > 900000000000ULL || nanoseconds > 999999999) {
        return false;
    }
    filetime = static_cast<int64_t>(seconds) * filetime_units_per_second + nanoseconds / 100 +
               unix_epoch_filetime;
    return true;
}

const char* outcome_text(Outcome outcome) {
    switch (outcome) {
        case Outcome::no_dns_message:
            return "no DNS message bytes";
        case Outcome::no_client_address:
            return "no client address";
        case Outcome::no_server_address:
            return "no server address";
        case Outcome::bad_address:
            return "address neither 4 nor 16 bytes";
        default:
            return "";
    }
}

namespace {

bool is_query(uint32_t type) {
    return type == auth_query || type == client_query;
}

bool is_answered_query(uint32_t type) {
    return is_query(type) || type == auth_response || type == client_response;
}

bool usable_address(const Field& address) {
    return address.size == 4 || address.size == 16;
}

Outcome check(const Message& message, const Field& packet) {
    if (!message.has_message || (message.has_dnstap_type && message.dnstap_type != 1) ||
        !is_answered_query(message.type)) {
        return Outcome::ignored;
    }
    if (packet.size == 0) {
        return Outcome::no_dns_message;
    }
    if (!message.query_address.present) {
        return Outcome::no_client_address;
    }
    if (!message.response_address.present) {
        return Outcome::no_server_address;
    }
    if (!usable_address(message.query_address) || !usable_address(message.response_address)) {
        return Outcome::bad_address;
    }
    return Outcome::event;
}

USHORT event_id(bool query, const Field& packet) {
    if (query) {
        return query_received_event;
    }
    bool success = packet.size >= 4 && (packet.data[3] & 0x0F) == 0;  // RCODE NOERROR
    return success ? response_success_event : response_failure_event;
}

// A response's own time, else its query's, else now.
int64_t event_time(const Message& message, bool query, int64_t now_filetime) {
    int64_t filetime = now_filetime;
    if (!query && message.has_response_time &&
        filetime_of(message.response_time_sec, message.response_time_nsec, filetime)) {
        return filetime;
    }
    if (message.has_query_time &&
        filetime_of(message.query_time_sec, message.query_time_nsec, filetime)) {
        return filetime;
    }
    return now_filetime;
}

// The provider's property names.
constexpr standin::PropertyName tcp_name("TCP");
constexpr standin::PropertyName interface_ip_name("InterfaceIP");
constexpr standin::PropertyName source_name("Source");
constexpr standin::PropertyName destination_name("Destination");
constexpr standin::PropertyName port_name("Port");
constexpr standin::PropertyName buffer_size_name("BufferSize");
constexpr standin::PropertyName packet_data_name("PacketData");

template <size_t N>
standin::PropertyValue text_property(const standin::PropertyName<N>& name, const char* value,
                                     size_t length) {
    return standin::property(name, reinterpret_cast<const uint8_t*>(value),
                             static_cast<uint32_t>(length + 1));
}

// The properties the decoder relies on, and the client port, in the provider's order; they
// point into event and into the frame.
void fill_properties(const Message& message, bool query, const Field& packet, Event& event) {
    uint32_t protocol = message.socket_protocol;
    event.is_tcp =
        protocol == tcp || protocol == dot || protocol == doh || protocol == dnscrypt_tcp;
    size_t server_ip_length = address_text(message.response_address, event.server_ip);
    size_t client_ip_length = address_text(message.query_address, event.client_ip);
    store_le16(event.port, static_cast<uint16_t>(message.query_port));
    store_le16(event.buffer_size, static_cast<uint16_t>(packet.size));

    using standin::property;
    standin::PropertyValue* p = event.properties;
    *p++ = property(tcp_name, &event.is_tcp, 1);
    *p++ = text_property(interface_ip_name, event.server_ip, server_ip_length);
    *p++ = query ? text_property(source_name, event.client_ip, client_ip_length)
                 : text_property(destination_name, event.client_ip, client_ip_length);
    *p++ = property(port_name, event.port, 2);
    *p++ = property(buffer_size_name, event.buffer_size, 2);
    *p++ = property(packet_data_name, packet.data, packet.size);
    event.property_count = static_cast<size_t>(p - event.properties);
}

}  // namespace

Outcome to_event(const Message& message, int64_t now_filetime, Event& event) {
    bool query = is_query(message.type);
    const Field& packet = query ? message.query_message : message.response_message;
    Outcome outcome = check(message, packet);
    if (outcome == Outcome::event) {
        event.id = event_id(query, packet);
        event.timestamp = event_time(message, query, now_filetime);
        fill_properties(message, query, packet, event);
    }
    return outcome;
}

}  // namespace tarn::net::dnstap
