// The Trace Data Helper calls over the stand-in's self-describing payload (net/standin_event.hpp).
// Every read stays inside UserData[0, UserDataLength); nothing allocates.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/etw_api.hpp"
#include "support/byte_order.hpp"

namespace {

using tarn::load_le16;
using tarn::load_le32;

struct Property {
    const uint8_t* name = nullptr;  // UTF-16LE, name_length code units
    uint32_t name_length = 0;
    const uint8_t* value = nullptr;
    uint32_t size = 0;
};

// Walks the payload property by property, bounds-checked.
class PayloadWalker {
  public:
    // False when the event carries no readable payload header.
    bool start(const EVENT_RECORD* event) {
        if (event == nullptr) {
            return false;
        }
        end = event->UserDataLength;
        data = static_cast<const uint8_t*>(event->UserData);
        if (end == 0) {
            count = 0;  // no user data: an event without properties
            position = 0;
            return true;
        }
        if (data == nullptr || end < 2) {
            return false;
        }
        count = load_le16(data);
        position = 2;
        return true;
    }

    // False when the next property overruns the payload.
    bool next(Property& property) {
        if (end - position < 2) {
            return false;
        }
        property.name_length = load_le16(data + position);
        position += 2;
        if ((end - position) / 2 < property.name_length) {
            return false;
        }
        property.name = data + position;
        position += 2 * static_cast<size_t>(property.name_length);
        if (end - position < 4) {
            return false;
        }
        property.size = load_le32(data + position);
        position += 4;
        if (end - position < property.size) {
            return false;
        }
        property.value = data + position;
        position += property.size;
        return true;
    }

    bool finished() const { return position == end; }

    uint32_t count = 0;

  private:
    const uint8_t* data = nullptr;
    size_t end = 0;
    size_t position = 0;
};

// The caller's name is NUL-terminated UTF-16 in host order; it is read no further than its
// terminator or the first difference.
bool name_matches(const uint8_t* wanted, const Property& property) {
    for (uint32_t i = 0;; ++i) {
        uint16_t unit;
        std::memcpy(&unit, wanted + 2 * static_cast<size_t>(i), sizeof unit);
        if (i == property.name_length) {
            return unit == 0;
        }
        if (unit == 0 || unit != load_le16(property.name + 2 * static_cast<size_t>(i))) {
            return false;
        }
    }
}

// The first property of that name. The walk stops there: what follows is not looked at, while a
// name that is not found costs a walk of the whole payload, which must then be well formed.
ULONG find_property(const EVENT_RECORD* event, ULONG property_data_count,
                    const PROPERTY_DATA_DESCRIPTOR* property_data, Property& found) {
    if (property_data == nullptr || property_data_count != 1 || property_data->PropertyName == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* wanted =
        reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(property_data->PropertyName));
    PayloadWalker walker;
    if (!walker.start(event)) {
        return ERROR_INVALID_PARAMETER;
    }
    for (uint32_t i = 0; i < walker.count; ++i) {
        if (!walker.next(found)) {
            return ERROR_INVALID_PARAMETER;
        }
        if (name_matches(wanted, found)) {
            return ERROR_SUCCESS;
        }
    }
    return walker.finished() ? ERROR_NOT_FOUND : ERROR_INVALID_PARAMETER;
}

constexpr size_t info_header_size = sizeof(TRACE_EVENT_INFO) - sizeof(EVENT_PROPERTY_INFO);

// One walk validates and sizes the property list and, as far as the buffer reaches, writes
// the descriptors and names; false on a malformed payload. At most 65535 bytes of payload:
// every size here stays far from 32-bit limits.
bool describe_properties(PayloadWalker& walker, PTRACE_EVENT_INFO buffer, size_t capacity,
                         size_t& needed, bool& written) {
    size_t names_offset = info_header_size + walker.count * sizeof(EVENT_PROPERTY_INFO);
    auto* out = reinterpret_cast<uint8_t*>(buffer);
    written = buffer != nullptr && names_offset <= capacity;
    if (written) {
        std::memset(out, 0, names_offset);
    }
    needed = names_offset;
    Property property;
    for (uint32_t i = 0; i < walker.count; ++i) {
        if (!walker.next(property)) {
            return false;
        }
        size_t name_bytes = 2 * static_cast<size_t>(property.name_length);
        written = written && needed + name_bytes + 2 <= capacity;
        if (written) {
            EVENT_PROPERTY_INFO& info = buffer->EventPropertyInfoArray[i];
            info.NameOffset = static_cast<ULONG>(needed);
            info.count = 1;
            info.length = static_cast<USHORT>(property.size);
            // The same UTF-16LE units, then the terminator.
            std::memcpy(out + needed, property.name, name_bytes);
            out[needed + name_bytes] = 0;
            out[needed + name_bytes + 1] = 0;
        }
        needed += name_bytes + 2;
    }
    return walker.finished();
}

}  // namespace

ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD event, ULONG tdh_context_count,
                                    PTDH_CONTEXT tdh_context, PTRACE_EVENT_INFO buffer,
                                    ULONG* buffer_size) {
    if (buffer_size == nullptr || (tdh_context_count > 0 && tdh_context == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    PayloadWalker walker;
    size_t needed = 0;
    bool written = false;
    size_t capacity = buffer == nullptr ? 0 : *buffer_size;
    if (!walker.start(event) || !describe_properties(walker, buffer, capacity, needed, written)) {
        return ERROR_INVALID_PARAMETER;
    }
    *buffer_size = static_cast<ULONG>(needed);
    if (!written) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer->ProviderGuid = event->EventHeader.ProviderId;
    buffer->EventDescriptor = event->EventHeader.EventDescriptor;
    buffer->PropertyCount = walker.count;
    buffer->TopLevelPropertyCount = walker.count;
    return ERROR_SUCCESS;
}

ULONG WINAPI TdhGetPropertySize(PEVENT_RECORD event, ULONG tdh_context_count,
                                PTDH_CONTEXT tdh_context, ULONG property_data_count,
                                PPROPERTY_DATA_DESCRIPTOR property_data, ULONG* property_size) {
    if (property_size == nullptr || (tdh_context_count > 0 && tdh_context == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Property property;
    ULONG status = find_property(event, property_data_count, property_data, property);
    if (status == ERROR_SUCCESS) {
        *property_size = property.size;
    }
    return status;
}

ULONG WINAPI TdhGetProperty(PEVENT_RECORD event, ULONG tdh_context_count, PTDH_CONTEXT tdh_context,
                            ULONG property_data_count, PPROPERTY_DATA_DESCRIPTOR property_data,
                            ULONG buffer_size, PBYTE buffer) {
    if (tdh_context_count > 0 && tdh_context == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Property property;
    ULONG status = find_property(event, property_data_count, property_data, property);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (buffer_size < property.size) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (property.size > 0) {
        if (buffer == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        std::memcpy(buffer, property.value, property.size);
    }
    return ERROR_SUCCESS;
}
