#include "net/standin/standin_event.hpp"

#include <cstring>

namespace tarn::net::standin {

bool encode_payload(const PropertyValue* properties, size_t count, Payload& payload) {
    payload.size = 0;
    if (count > max_payload_size) {
        return false;
    }
    // Sizes first, so nothing is written for a payload that cannot be carried.
    const size_t directory_end = payload_header_size + count * directory_entry_size;
    size_t total = directory_end;
    for (size_t i = 0; i < count && total <= max_payload_size; ++i) {
        total += 2 * properties[i].name_length + properties[i].size;
    }
    if (total > max_payload_size) {
        return false;
    }
    uint8_t* out = payload.bytes;
    store_le16(out, static_cast<uint16_t>(count));
    size_t position = directory_end;
    for (size_t i = 0; i < count; ++i) {
        const PropertyValue& property = properties[i];
        DirectoryEntry entry;
        entry.name_offset = static_cast<uint16_t>(position);
        entry.name_units = static_cast<uint16_t>(property.name_length);
        std::memcpy(out + position, property.name_utf16, 2 * property.name_length);
        position += 2 * property.name_length;
        entry.value_offset = static_cast<uint16_t>(position);
        entry.value_size = static_cast<uint16_t>(property.size);
        if (property.size > 0) {
            std::memcpy(out + position, property.data, property.size);
            position += property.size;
        }
        store_entry(out, i, entry);
    }
    payload.size = total;
    return true;
}

void fill_event_record(EVENT_RECORD& record, const GUID& provider, USHORT event_id,
                       int64_t filetime, const Payload& payload, void* user_context) {
    std::memset(&record, 0, sizeof record);
    record.EventHeader.Size = sizeof(EVENT_HEADER);
    record.EventHeader.ProviderId = provider;
    record.EventHeader.EventDescriptor.Id = event_id;
    record.EventHeader.EventDescriptor.Level = TRACE_LEVEL_INFORMATION;
    record.EventHeader.TimeStamp.QuadPart = filetime;
    record.UserDataLength = static_cast<USHORT>(payload.size);
    record.UserData = payload.size == 0 ? nullptr : const_cast<uint8_t*>(payload.bytes);
    record.UserContext = user_context;
}

}  // namespace tarn::net::standin
