#include "net/dns_event_decoder.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/dns_server_provider.hpp"
#include "net/etw_trace_state.hpp"
#include "net/ipv6_text.hpp"
#include "sensor/wire_format.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace tarn::net {

namespace {

constexpr ULONG first_packet_position = 4;
constexpr ULONG whole_property = 0xFFFFFFFF;  // ArrayIndex: not an array element

// A property of a DNS packet event: its position in the property list and its name in the log.
struct Property {
    ULONG position;
    const char* name;
};

constexpr Property is_tcp_property = {0, "is_tcp"};
constexpr Property server_ip_property = {1, "server_ip"};
constexpr Property device_ip_property = {2, "device_ip"};

// The event at hand and the state it is decoded into.
struct EventDecode {
    EtwTraceState& state;
    PEVENT_RECORD event;
    ULONG info_size = 0;  // bytes of event information that TDH wrote

    const TRACE_EVENT_INFO* info() const {
        return reinterpret_cast<const TRACE_EVENT_INFO*>(state.event_info.data);
    }
};

// Error texts are only built on the failure paths, so the hot path never allocates.
std::string status_text(ULONG status) {
    return error::system_error_text(static_cast<int32_t>(status));
}

std::string errno_text() {
    int code = errno;
    return error::system_error_text(code);
}

// "call(subject) failed: text", the form of every per-event failure line.
void log_failure(const char* call, const char* subject, const std::string& text) {
    log_message("ERROR - Process ETW event failed: %s(%s) failed: %s", call, subject, text.c_str());
}

// Asks TDH for the size of the event information, grows its buffer to it and has TDH fill it.
bool fetch_event_information(EventDecode& decode) {
    ULONG size = 0;
    ULONG status = TdhGetEventInformation(decode.event, 0, nullptr, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        log_message("ERROR - TdhGetEventInformation() failed: %s", status_text(status).c_str());
        return false;
    }
    GrowingBuffer& buffer = decode.state.event_info;
    if (!buffer.grow(size)) {
        log_failure("realloc", "event_info", errno_text());
        return false;
    }
    status = TdhGetEventInformation(decode.event, 0, nullptr,
                                    reinterpret_cast<PTRACE_EVENT_INFO>(buffer.data), &size);
    if (status != ERROR_SUCCESS) {
        log_failure("TdhGetEventInformation", "", status_text(status));
        return false;
    }
    decode.info_size = size;
    return true;
}

bool is_packet_event(PEVENT_RECORD event) {
    const USHORT id = event->EventHeader.EventDescriptor.Id;
    return id >= query_received_event && id <= response_failure_event;
}

// The property descriptors that TDH wrote: never more than fit in the size it reported.
ULONG written_property_count(const EventDecode& decode) {
    const size_t array_offset = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
    if (decode.info_size < array_offset) {
        return 0;
    }
    const size_t fitting = (decode.info_size - array_offset) / sizeof(EVENT_PROPERTY_INFO);
    return fitting < decode.info()->PropertyCount ? static_cast<ULONG>(fitting)
                                                  : decode.info()->PropertyCount;
}

// The first byte of the UTF-16 name: the low byte of its first code unit.
uint8_t name_initial(const EventDecode& decode, ULONG position) {
    ULONG offset = decode.info()->EventPropertyInfoArray[position].NameOffset;
    return offset < decode.info_size ? decode.state.event_info.data[offset] : 0;
}

// The packet bytes follow the buffer size: the first P-name right after a B-name, from 4 on.
bool find_packet_data(const EventDecode& decode, Property& packet_data) {
    const ULONG count = written_property_count(decode);
    for (ULONG k = first_packet_position; k < count; ++k) {
        if (name_initial(decode, k) == 'P' && name_initial(decode, k - 1) == 'B') {
            packet_data = Property{k, "packet_data"};
            return true;
        }
    }
    log_message(
        "ERROR - Process ETW event failed: Packet data index not found for event ID %d with "
        "property count %d",
        static_cast<int>(decode.event->EventHeader.EventDescriptor.Id),
        static_cast<int>(decode.info()->PropertyCount));
    return false;
}

PROPERTY_DATA_DESCRIPTOR descriptor_for(const EventDecode& decode, const Property& property) {
    PROPERTY_DATA_DESCRIPTOR descriptor;
    descriptor.PropertyName = reinterpret_cast<ULONGLONG>(
        decode.state.event_info.data +
        decode.info()->EventPropertyInfoArray[property.position].NameOffset);
    descriptor.ArrayIndex = whole_property;
    descriptor.Reserved = 0;
    return descriptor;
}

bool property_size(const EventDecode& decode, const Property& property, ULONG& size) {
    PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(decode, property);
    ULONG status = TdhGetPropertySize(decode.event, 0, nullptr, 1, &descriptor, &size);
    if (status != ERROR_SUCCESS) {
        log_failure("TdhGetPropertySize", property.name, status_text(status));
        return false;
    }
    return true;
}

bool read_property(const EventDecode& decode, const Property& property, ULONG size, uint8_t* into) {
    PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(decode, property);
    ULONG status = TdhGetProperty(decode.event, 0, nullptr, 1, &descriptor, size, into);
    if (status != ERROR_SUCCESS) {
        log_failure("TdhGetProperty", property.name, status_text(status));
        return false;
    }
    return true;
}

// One byte, read straight into the state; the size query must succeed, its answer is unused.
bool read_is_tcp(EventDecode& decode) {
    ULONG unused = 0;
    return property_size(decode, is_tcp_property, unused) &&
           read_property(decode, is_tcp_property, 1, &decode.state.is_tcp);
}

// Reads one NUL-terminated address text into its buffer; false when the event is dropped.
bool read_address(EventDecode& decode, const Property& property, GrowingBuffer& buffer,
                  int32_t& length) {
    ULONG size = 0;
    if (!property_size(decode, property, size)) {
        return false;
    }
    // The record has one length byte per address, and the text needs its terminator.
    if (size == 0 || size > sensor::wire::max_address_length + 1) {
        log_message("ERROR - Process ETW event failed: %s of %u bytes does not fit the record",
                    property.name, static_cast<unsigned>(size));
        return false;
    }
    if (!buffer.grow(size)) {
        log_failure("realloc", property.name, errno_text());
        return false;
    }
    length = static_cast<int32_t>(size) - 1;
    return read_property(decode, property, buffer.capacity, buffer.data);
}

std::string_view text_of(const GrowingBuffer& buffer, int32_t length) {
    return std::string_view(reinterpret_cast<const char*>(buffer.data),
                            static_cast<size_t>(length));
}

// Dotted IPv4 device addresses pass, and well-formed IPv6 ones when the operator asked for
// them; any other colon (IPv6) or letter (a name) drops the event.
bool is_wanted_device(const EtwTraceState& state) {
    for (int32_t i = 0; i < state.device_ip_length; ++i) {
        uint8_t byte = state.device_ip.data[i];
        if (byte == ':' || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')) {
            return config::ipv6_clients &&
                   is_ipv6_text(text_of(state.device_ip, state.device_ip_length));
        }
    }
    return true;
}

sensor::wire::RecordHeader record_header(const EventDecode& decode) {
    const EtwTraceState& state = decode.state;
    const int64_t since_1970 = decode.event->EventHeader.TimeStamp.QuadPart - state.epoch_offset;
    sensor::wire::RecordHeader header;
    header.time = static_cast<uint32_t>(since_1970 / filetime_units_per_second);
    header.device_ip = text_of(state.device_ip, state.device_ip_length);
    header.server_ip = text_of(state.server_ip, state.server_ip_length);
    header.is_tcp = state.is_tcp;
    return header;
}

// Writes the record into the message buffer; the packet bytes go from TDH straight into their
// place behind the header.
bool encode_record(EventDecode& decode, const Property& packet_data) {
    ULONG packet_size = 0;
    if (!property_size(decode, packet_data, packet_size)) {
        return false;
    }
    const sensor::wire::RecordHeader header = record_header(decode);
    const uint64_t total = sensor::wire::record_size(header, packet_size);
    if (total > INT32_MAX) {
        log_message("ERROR - Process ETW event failed: packet_data of %u bytes is too large",
                    static_cast<unsigned>(packet_size));
        return false;
    }
    EtwTraceState& state = decode.state;
    if (!state.message.grow(static_cast<uint32_t>(total))) {
        log_failure("realloc", "message", errno_text());
        return false;
    }
    state.message_length = static_cast<int32_t>(total);
    uint8_t* packet = sensor::wire::encode_record_header(header, state.message.data);
    return read_property(decode, packet_data, packet_size, packet);
}

// ETW tells a real-time consumer what it lost with records of its own.
void count_lost_event_record(PEVENT_RECORD event) {
    const EVENT_DESCRIPTOR& descriptor = event->EventHeader.EventDescriptor;
    if (std::memcmp(&event->EventHeader.ProviderId, &lost_event_provider, sizeof(GUID)) == 0 &&
        descriptor.Opcode >= lost_event_opcode && descriptor.Opcode <= lost_file_opcode) {
        statistics().lost_records.add();
    }
}

}  // namespace

GrowingBuffer::~GrowingBuffer() {
    std::free(data);
}

bool GrowingBuffer::grow(uint32_t needed) {
    if (data != nullptr && needed <= capacity) {
        return true;
    }
    // realloc of 0 bytes may free the block or return null; keep one byte instead.
    void* grown = std::realloc(data, needed == 0 ? 1 : needed);
    if (grown == nullptr) {
        return false;
    }
    data = static_cast<uint8_t*>(grown);
    capacity = needed;
    return true;
}

void handle_event(EtwTraceState& state, PEVENT_RECORD event) {
    // Other providers cost nothing, not even a TDH call; ETW's own lost-event records count.
    if (std::memcmp(&event->EventHeader.ProviderId, &dns_server_provider, sizeof(GUID)) != 0) {
        count_lost_event_record(event);
        return;
    }
    EventDecode decode{state, event};
    // Every event of the provider is decoded once, so a TDH failure is logged whatever its ID.
    if (!fetch_event_information(decode)) {
        statistics().capture_drops.add();
        return;
    }
    if (!is_packet_event(event)) {
        return;
    }
    Property packet_data = {};
    bool read = find_packet_data(decode, packet_data) && read_is_tcp(decode) &&
                read_address(decode, server_ip_property, state.server_ip, state.server_ip_length) &&
                read_address(decode, device_ip_property, state.device_ip, state.device_ip_length);
    if (read && !is_wanted_device(state)) {
        return;  // by design, not a loss
    }
    if (!read || !encode_record(decode, packet_data)) {
        statistics().capture_drops.add();
        return;
    }
    statistics().events_decoded.add();
    if (state.message_callback != nullptr) {
        state.message_callback(state.message.data, static_cast<uint32_t>(state.message_length),
                               state.message_context);
    }
}

}  // namespace tarn::net
