// The Trace Data Helper calls over the stand-in's self-describing payload (net/standin_event.hpp).
// Every read stays inside UserData[0, UserDataLength); nothing allocates. A consumer asks for
// properties by the names TdhGetEventInformation just wrote for it, so the thread remembers
// where it wrote them and finds such a name's property at once instead of walking the payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "net/etw_api.hpp"
#include "net/standin/standin_event.hpp"
#include "support/small_bytes.hpp"

namespace {

using tarn::copy_bytes;
using tarn::load_le16;
using tarn::same_bytes;
using namespace tarn::net::standin;

struct Property {
    const uint8_t* name = nullptr;  // UTF-16LE, name_units code units
    uint32_t name_units = 0;
    const uint8_t* value = nullptr;
    uint32_t size = 0;
};

// The payload's directory, every entry bounds-checked as it is read.
class PayloadView {
  public:
    // False when the event carries no readable payload header and directory.
    bool open(const EVENT_RECORD* event) {
        if (event == nullptr) {
            return false;
        }
        size = event->UserDataLength;
        data = static_cast<const uint8_t*>(event->UserData);
        if (size == 0) {
            count = 0;  // no user data: an event without properties
            return true;
        }
        if (data == nullptr || size < payload_header_size) {
            return false;
        }
        count = load_le16(data);
        return entry_offset(count) <= size;
    }

    // False when the entry's name or value lies outside the payload.
    bool entry(uint32_t index, DirectoryEntry& out) const {
        out = load_entry(data, index);
        return out.name_offset + 2 * size_t{out.name_units} <= size &&
               out.value_offset + size_t{out.value_size} <= size;
    }

    Property property(const DirectoryEntry& entry) const {
        return {data + entry.name_offset, entry.name_units, data + entry.value_offset,
                entry.value_size};
    }

    // The property of an entry that entry() has already checked.
    Property checked_property(uint32_t index) const { return property(load_entry(data, index)); }

    uint32_t count = 0;

  private:
    const uint8_t* data = nullptr;
    size_t size = 0;
};

uint16_t unit_at(const uint8_t* host_order_units, size_t index) {
    uint16_t unit;
    std::memcpy(&unit, host_order_units + 2 * index, sizeof unit);
    return unit;
}

// The caller's name is NUL-terminated UTF-16 in host order; it is read no further than its
// terminator or the first difference, so most names are told apart by their first unit.
bool name_matches(const uint8_t* wanted, const Property& property) {
    for (size_t i = 0;; ++i) {
        uint16_t unit = unit_at(wanted, i);
        if (i == property.name_units) {
            return unit == 0;
        }
        if (unit == 0 || unit != load_le16(property.name + 2 * i)) {
            return false;
        }
    }
}

// Where the last TdhGetEventInformation on this thread wrote its names: the slot of a name's
// offset holds its property's index + 1, for the first names that start within the slots.
struct WrittenNames {
    uintptr_t begin = 0;        // the address of the first name
    uint8_t index_at[64] = {};  // by (address - begin) / 2
    uint16_t units[32] = {};    // by index: the units written, the NUL not counted
};
thread_local WrittenNames written_names;

void remember_name(uint32_t index, size_t offset, uint16_t units) {
    const size_t slot = offset / 2;
    if (slot < sizeof written_names.index_at && index < std::size(written_names.units)) {
        written_names.index_at[slot] = static_cast<uint8_t>(index + 1);
        written_names.units[index] = units;
    }
}

// Whether the name written at wanted is still property's: both as long as when it was
// written, so the comparison reads exactly the bytes TdhGetEventInformation wrote there.
bool still_named(const uint8_t* wanted, uint32_t index, const Property& property) {
    if (property.name_units != written_names.units[index]) {
        return false;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return same_bytes(wanted, property.name, 2 * size_t{property.name_units}) &&
           unit_at(wanted, property.name_units) == 0;
#else
    return name_matches(wanted, property);
#endif
}

// The index of the property whose name TdhGetEventInformation wrote at wanted, else -1.
int64_t written_index(const uint8_t* wanted) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(wanted) - written_names.begin;
    return at < 2 * sizeof written_names.index_at && at % 2 == 0
               ? int64_t{written_names.index_at[at / 2]} - 1
               : -1;
}

// The property named where TdhGetEventInformation wrote its name, if the payload still has it
// there; the name is compared in full, as the caller may have changed either since.
bool find_written(const PayloadView& view, const uint8_t* wanted, Property& found) {
    const int64_t index = written_index(wanted);
    DirectoryEntry entry;
    if (index < 0 || index >= view.count || !view.entry(static_cast<uint32_t>(index), entry)) {
        return false;
    }
    Property candidate = view.property(entry);
    if (!still_named(wanted, static_cast<uint32_t>(index), candidate)) {
        return false;
    }
    found = candidate;
    return true;
}

// The property of that name: the one whose name TdhGetEventInformation wrote there, else the
// first of that name; the entries before it must be well formed, and all of them for a name
// that is not there.
ULONG find_property(const EVENT_RECORD* event, ULONG property_data_count,
                    const PROPERTY_DATA_DESCRIPTOR* property_data, Property& found) {
    if (property_data == nullptr || property_data_count != 1 || property_data->PropertyName == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* wanted =
        reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(property_data->PropertyName));
    PayloadView view;
    if (!view.open(event)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (find_written(view, wanted, found)) {
        return ERROR_SUCCESS;
    }
    for (uint32_t i = 0; i < view.count; ++i) {
        DirectoryEntry entry;
        if (!view.entry(i, entry)) {
            return ERROR_INVALID_PARAMETER;
        }
        Property candidate = view.property(entry);
        if (name_matches(wanted, candidate)) {
            found = candidate;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_FOUND;
}

// Where the names start in the event information: after its header and the descriptors.
size_t names_start(uint32_t count) {
    return sizeof(TRACE_EVENT_INFO) - sizeof(EVENT_PROPERTY_INFO) +
           size_t{count} * sizeof(EVENT_PROPERTY_INFO);
}

// The size of the event information; false on a malformed payload.
bool information_size(const PayloadView& view, size_t& needed) {
    needed = names_start(view.count);
    DirectoryEntry entry;
    for (uint32_t i = 0; i < view.count; ++i) {
        if (!view.entry(i, entry)) {
            return false;
        }
        needed += 2 * size_t{entry.name_units} + 2;
    }
    return true;
}

// Writes the descriptors and their names (the same UTF-16LE units, then a NUL) into a buffer
// that information_size() found large enough, having checked every entry.
void describe_properties(const PayloadView& view, PTRACE_EVENT_INFO buffer) {
    const size_t first_name = names_start(view.count);
    size_t names_offset = first_name;
    auto* out = reinterpret_cast<uint8_t*>(buffer);
    std::memset(out, 0, names_offset);
    written_names = WrittenNames{reinterpret_cast<uintptr_t>(out + first_name), {}};
    for (uint32_t i = 0; i < view.count; ++i) {
        Property property = view.checked_property(i);
        remember_name(i, names_offset - first_name, static_cast<uint16_t>(property.name_units));
        size_t name_bytes = 2 * size_t{property.name_units};
        EVENT_PROPERTY_INFO& info = buffer->EventPropertyInfoArray[i];
        info.NameOffset = static_cast<ULONG>(names_offset);
        info.count = 1;
        info.length = static_cast<USHORT>(property.size);
        copy_bytes(out + names_offset, property.name, name_bytes);
        out[names_offset + name_bytes] = 0;
        out[names_offset + name_bytes + 1] = 0;
        names_offset += name_bytes + 2;
    }
}

}  // namespace

ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD event, ULONG tdh_context_count,
                                    PTDH_CONTEXT tdh_context, PTRACE_EVENT_INFO buffer,
                                    ULONG* buffer_size) {
    if (buffer_size == nullptr || (tdh_context_count > 0 && tdh_context == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    PayloadView view;
    size_t needed = 0;
    if (!view.open(event) || !information_size(view, needed)) {
        return ERROR_INVALID_PARAMETER;
    }
    size_t capacity = buffer == nullptr ? 0 : *buffer_size;
    *buffer_size = static_cast<ULONG>(needed);
    if (capacity < needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    describe_properties(view, buffer);
    buffer->ProviderGuid = event->EventHeader.ProviderId;
    buffer->EventDescriptor = event->EventHeader.EventDescriptor;
    buffer->PropertyCount = view.count;
    buffer->TopLevelPropertyCount = view.count;
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
        copy_bytes(buffer, property.value, property.size);
    }
    return ERROR_SUCCESS;
}
