#include "net/standin_event.hpp"

#include <cstring>

#include "support/byte_order.hpp"

namespace tarn::net::standin {

bool encode_payload(const PropertyValue* properties, size_t count, std::vector<uint8_t>& payload) {
    payload.clear();
    if (count > 0xFFFF) {
        return false;
    }
    // Sizes first, so nothing is written (or grown) for a payload that cannot be carried.
    size_t total = 2;
    for (size_t i = 0; i < count; ++i) {
        size_t name_length = std::strlen(properties[i].name);
        if (name_length > 0xFFFF) {
            return false;
        }
        total += 2 + 2 * name_length + 4 + properties[i].size;
        if (total > max_payload_size) {
            return false;
        }
    }
    payload.resize(total);
    uint8_t* out = payload.data();
    store_le16(out, static_cast<uint16_t>(count));
    out += 2;
    for (size_t i = 0; i < count; ++i) {
        const char* name = properties[i].name;
        size_t name_length = std::strlen(name);
        store_le16(out, static_cast<uint16_t>(name_length));
        out += 2;
        for (size_t c = 0; c < name_length; ++c) {
            out[0] = static_cast<uint8_t>(name[c]);
            out[1] = 0;
            out += 2;
        }
        store_le32(out, properties[i].size);
        out += 4;
        if (properties[i].size > 0) {
            std::memcpy(out, properties[i].data, properties[i].size);
            out += properties[i].size;
        }
    }
    return true;
}

void fill_event_record(EVENT_RECORD& record, const GUID& provider, USHORT event_id,
                       int64_t filetime, const std::vector<uint8_t>& payload, void* user_context) {
    std::memset(&record, 0, sizeof record);
    record.EventHeader.Size = sizeof(EVENT_HEADER);
    record.EventHeader.ProviderId = provider;
    record.EventHeader.EventDescriptor.Id = event_id;
    record.EventHeader.EventDescriptor.Level = TRACE_LEVEL_INFORMATION;
    record.EventHeader.TimeStamp.QuadPart = filetime;
    record.UserDataLength = static_cast<USHORT>(payload.size());
    record.UserData = payload.empty() ? nullptr : const_cast<uint8_t*>(payload.data());
    record.UserContext = user_context;
}

}  // namespace tarn::net::standin
