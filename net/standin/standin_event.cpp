#include "net/standin/standin_event.hpp"

#include <cstring>

#include "support/small_bytes.hpp"

namespace tarn::net::standin {

namespace {

bool holds_names(const Payload& payload, const PropertyValue* properties, size_t count) {
    if (count == 0 || count != payload.name_count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (properties[i].name_utf16 != payload.name_sources[i] ||
            properties[i].name_length != payload.name_lengths[i]) {
            return false;
        }
    }
    return true;
}

// The header, the name half of every directory entry and the names.
void encode_names(const PropertyValue* properties, size_t count, Payload& payload) {
    uint8_t* out = payload.bytes;
    store_le16(out, static_cast<uint16_t>(count));
    size_t position = entry_offset(count);
    for (size_t i = 0; i < count; ++i) {
        const PropertyValue& property = properties[i];
        store_entry_name(out, i, static_cast<uint16_t>(position),
                         static_cast<uint16_t>(property.name_length));
        copy_bytes(out + position, property.name_utf16, 2 * property.name_length);
        position += 2 * property.name_length;
    }
    payload.values_offset = position;
    payload.name_count = count <= Payload::kept_names ? count : 0;
    for (size_t i = 0; i < payload.name_count; ++i) {
        payload.name_sources[i] = properties[i].name_utf16;
        payload.name_lengths[i] = properties[i].name_length;
    }
}

}  // namespace

bool encode_payload(const PropertyValue* properties, size_t count, Payload& payload) {
    payload.size = 0;
    if (count > max_payload_size) {
        return false;
    }
    // Sizes first, so nothing is written for a payload that cannot be carried.
    size_t total = entry_offset(count);
    for (size_t i = 0; i < count && total <= max_payload_size; ++i) {
        total += 2 * properties[i].name_length + properties[i].size;
    }
    if (total > max_payload_size) {
        return false;
    }
    if (!holds_names(payload, properties, count)) {
        encode_names(properties, count, payload);
    }
    uint8_t* out = payload.bytes;
    size_t position = payload.values_offset;
    for (size_t i = 0; i < count; ++i) {
        const PropertyValue& property = properties[i];
        store_entry_value(out, i, static_cast<uint16_t>(position),
                          static_cast<uint16_t>(property.size));
        copy_bytes(out + position, property.data, property.size);
        position += property.size;
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
