#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "error/error.hpp"
#include "net/etw_trace_state.hpp"
#include "sensor/wire_format.hpp"
#include "support/log.hpp"

namespace tarn::net {

namespace {

constexpr ULONG first_packet_position = 4;
constexpr ULONG whole_property = 0xFFFFFFFF;  // ArrayIndex: not an array element

// Error texts are only built on the failure paths, so the hot path never allocates.
void log_status(const char* format, ULONG status) {
    log_message(format, error::system_error_text(static_cast<int32_t>(status)).c_str());
}

void log_errno(const char* format) {
    int code = errno;
    log_message(format, error::system_error_text(code).c_str());
}

PROPERTY_DATA_DESCRIPTOR descriptor_for(const EtwTraceState& state, ULONG position) {
    const auto* info = reinterpret_cast<const TRACE_EVENT_INFO*>(state.event_info.data);
    PROPERTY_DATA_DESCRIPTOR descriptor;
    descriptor.PropertyName = reinterpret_cast<ULONGLONG>(
        state.event_info.data + info->EventPropertyInfoArray[position].NameOffset);
    descriptor.ArrayIndex = whole_property;
    descriptor.Reserved = 0;
    return descriptor;
}

// The first byte of the UTF-16 name: the low byte of its first code unit.
uint8_t name_initial(const EtwTraceState& state, ULONG size, ULONG position) {
    const auto* info = reinterpret_cast<const TRACE_EVENT_INFO*>(state.event_info.data);
    ULONG offset = info->EventPropertyInfoArray[position].NameOffset;
    return offset < size ? state.event_info.data[offset] : 0;
}

// Reads one NUL-terminated address text into its buffer; false when the event is dropped.
bool read_address(EtwTraceState& state, PEVENT_RECORD event, ULONG position, GrowingBuffer& buffer,
                  int32_t& length, const char* size_failure, const char* grow_failure,
                  const char* read_failure, const char* name) {
    PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(state, position);
    ULONG size = 0;
    ULONG status = TdhGetPropertySize(event, 0, nullptr, 1, &descriptor, &size);
    if (status != ERROR_SUCCESS) {
        log_status(size_failure, status);
        return false;
    }
    // The record has one length byte per address, and the text needs its terminator.
    if (size == 0 || size > sensor::wire::max_address_length + 1) {
        log_message("ERROR - Process ETW event failed: %s of %u bytes does not fit the record",
                    name, static_cast<unsigned>(size));
        return false;
    }
    if (!buffer.grow(size)) {
        log_errno(grow_failure);
        return false;
    }
    length = static_cast<int32_t>(size) - 1;
    status = TdhGetProperty(event, 0, nullptr, 1, &descriptor, buffer.capacity, buffer.data);
    if (status != ERROR_SUCCESS) {
        log_status(read_failure, status);
        return false;
    }
    return true;
}

}  // namespace

void handle_event(EtwTraceState& state, PEVENT_RECORD event) {
    if (std::memcmp(&event->EventHeader.ProviderId, &dns_server_provider, sizeof(GUID)) != 0) {
        return;
    }

    ULONG size = 0;
    ULONG status = TdhGetEventInformation(event, 0, nullptr, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        log_status("ERROR - TdhGetEventInformation() failed: %s", status);
        return;
    }
    if (!state.event_info.grow(size)) {
        log_errno("ERROR - Process ETW event failed: realloc(event_info) failed: %s");
        return;
    }
    status = TdhGetEventInformation(
        event, 0, nullptr, reinterpret_cast<PTRACE_EVENT_INFO>(state.event_info.data), &size);
    if (status != ERROR_SUCCESS) {
        log_status("ERROR - Process ETW event failed: TdhGetEventInformation() failed: %s", status);
        return;
    }

    const USHORT id = event->EventHeader.EventDescriptor.Id;
    if (id < query_received_event || id > response_failure_event) {
        return;
    }

    const auto* info = reinterpret_cast<const TRACE_EVENT_INFO*>(state.event_info.data);
    ULONG count = info->PropertyCount;
    // Never look at descriptors beyond what the helper wrote.
    const size_t array_offset = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
    if (size < array_offset || (size - array_offset) / sizeof(EVENT_PROPERTY_INFO) < count) {
        count = size < array_offset
                    ? 0
                    : static_cast<ULONG>((size - array_offset) / sizeof(EVENT_PROPERTY_INFO));
    }
    ULONG packet_position = 0;
    for (ULONG k = first_packet_position; k < count; ++k) {
        if (name_initial(state, size, k) == 'P' && name_initial(state, size, k - 1) == 'B') {
            packet_position = k;
            break;
        }
    }
    if (packet_position == 0) {
        log_message(
            "ERROR - Process ETW event failed: Packet data index not found for event ID %d with "
            "property count %d",
            static_cast<int>(id), static_cast<int>(info->PropertyCount));
        return;
    }

    PROPERTY_DATA_DESCRIPTOR descriptor = descriptor_for(state, 0);
    ULONG property_size = 0;
    status = TdhGetPropertySize(event, 0, nullptr, 1, &descriptor, &property_size);
    if (status != ERROR_SUCCESS) {
        log_status("ERROR - Process ETW event failed: TdhGetPropertySize(is_tcp) failed: %s",
                   status);
        return;
    }
    status = TdhGetProperty(event, 0, nullptr, 1, &descriptor, 1, &state.is_tcp);
    if (status != ERROR_SUCCESS) {
        log_status("ERROR - Process ETW event failed: TdhGetProperty(is_tcp) failed: %s", status);
        return;
    }

    if (!read_address(state, event, 1, state.server_ip, state.server_ip_length,
                      "ERROR - Process ETW event failed: TdhGetPropertySize(server_ip) failed: %s",
                      "ERROR - Process ETW event failed: realloc(server_ip) failed: %s",
                      "ERROR - Process ETW event failed: TdhGetProperty(server_ip) failed: %s",
                      "server_ip") ||
        !read_address(state, event, 2, state.device_ip, state.device_ip_length,
                      "ERROR - Process ETW event failed: TdhGetPropertySize(device_ip) failed: %s",
                      "ERROR - Process ETW event failed: realloc(device_ip) failed: %s",
                      "ERROR - Process ETW event failed: TdhGetProperty(device_ip) failed: %s",
                      "device_ip")) {
        return;
    }

    for (int32_t i = 0; i < state.device_ip_length; ++i) {
        uint8_t byte = state.device_ip.data[i];
        if (byte == ':' || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')) {
            return;
        }
    }

    descriptor = descriptor_for(state, packet_position);
    ULONG packet_size = 0;
    status = TdhGetPropertySize(event, 0, nullptr, 1, &descriptor, &packet_size);
    if (status != ERROR_SUCCESS) {
        log_status("ERROR - Process ETW event failed: TdhGetPropertySize(packet_data) failed: %s",
                   status);
        return;
    }

    int64_t seconds =
        (event->EventHeader.TimeStamp.QuadPart - state.epoch_offset) / filetime_units_per_second;
    sensor::wire::RecordHeader header;
    header.time = static_cast<uint32_t>(seconds);
    header.device_ip = std::string_view(reinterpret_cast<const char*>(state.device_ip.data),
                                        static_cast<size_t>(state.device_ip_length));
    header.server_ip = std::string_view(reinterpret_cast<const char*>(state.server_ip.data),
                                        static_cast<size_t>(state.server_ip_length));
    header.is_tcp = state.is_tcp;

    const uint64_t total = sensor::wire::record_size(header, packet_size);
    if (total > INT32_MAX) {
        log_message("ERROR - Process ETW event failed: packet_data of %u bytes is too large",
                    static_cast<unsigned>(packet_size));
        return;
    }
    if (!state.message.grow(static_cast<uint32_t>(total))) {
        log_errno("ERROR - Process ETW event failed: realloc(message) failed: %s");
        return;
    }
    state.message_length = static_cast<int32_t>(total);

    // The packet goes from TDH straight into its place in the record.
    uint8_t* packet = sensor::wire::encode_record_header(header, state.message.data);
    status = TdhGetProperty(event, 0, nullptr, 1, &descriptor, packet_size, packet);
    if (status != ERROR_SUCCESS) {
        log_status("ERROR - Process ETW event failed: TdhGetProperty(packet_data) failed: %s",
                   status);
        return;
    }

    if (state.message_callback != nullptr) {
        state.message_callback(state.message.data, static_cast<uint32_t>(total),
                               state.message_context);
    }
}

}  // namespace tarn::net
