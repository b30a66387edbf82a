// Arbitrary bytes as the UserData of an event through the three TDH calls of the stand-in.
// The first byte picks the name looked up by the property calls: one of the event's own
// (from the event information) or one cut from the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/etw_api.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

PROPERTY_DATA_DESCRIPTOR descriptor_at(const void* name) {
    PROPERTY_DATA_DESCRIPTOR descriptor;
    descriptor.PropertyName = reinterpret_cast<uintptr_t>(name);
    descriptor.ArrayIndex = 0xFFFFFFFF;
    descriptor.Reserved = 0;
    return descriptor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 65536) {
        return 0;
    }
    unsigned pick = data[0];
    // The payload in a block of exactly its size: reads past it are caught.
    std::vector<uint8_t> payload(data + 1, data + size);
    EVENT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.UserData = payload.empty() ? nullptr : payload.data();
    record.UserDataLength = static_cast<USHORT>(payload.size());

    // A NUL-terminated name taken from the input, for lookups that may or may not match.
    std::vector<uint16_t> foreign(1 + pick % 8, 0);
    for (size_t i = 0; i + 1 < foreign.size() && 2 * i + 2 < size; ++i) {
        foreign[i] = static_cast<uint16_t>(data[1 + 2 * i] | data[2 + 2 * i] << 8);
    }
    PROPERTY_DATA_DESCRIPTOR lookup = descriptor_at(foreign.data());
    ULONG value_size = 0;
    uint8_t small[4];

    ULONG info_size = 0;
    ULONG status = TdhGetEventInformation(&record, 0, nullptr, nullptr, &info_size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        require(status == ERROR_INVALID_PARAMETER);
        // A lookup stops at its match, so it may still find a property before the damage, but
        // it never walks through the damage to report the name missing.
        status = TdhGetPropertySize(&record, 0, nullptr, 1, &lookup, &value_size);
        require(status == ERROR_INVALID_PARAMETER || status == ERROR_SUCCESS);
        status = TdhGetProperty(&record, 0, nullptr, 1, &lookup, sizeof small, small);
        require(status == ERROR_INVALID_PARAMETER || status == ERROR_SUCCESS ||
                status == ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::vector<uint8_t> info(info_size);
    auto* header = reinterpret_cast<TRACE_EVENT_INFO*>(info.data());
    require(TdhGetEventInformation(&record, 0, nullptr, header, &info_size) == ERROR_SUCCESS);
    require(info_size == info.size());
    const size_t array_offset = sizeof(TRACE_EVENT_INFO) - sizeof(EVENT_PROPERTY_INFO);
    require(array_offset + header->PropertyCount * sizeof(EVENT_PROPERTY_INFO) <= info.size());
    require(header->TopLevelPropertyCount == header->PropertyCount);

    uint64_t total_values = 0;
    for (ULONG i = 0; i < header->PropertyCount; ++i) {
        ULONG offset = header->EventPropertyInfoArray[i].NameOffset;
        require(offset % 2 == 0 && offset >= array_offset && offset + 2 <= info.size());
        // Terminated inside the buffer, where the next name begins (or the buffer ends).
        size_t end = offset;
        while (end + 1 < info.size() && (info[end] != 0 || info[end + 1] != 0)) {
            end += 2;
        }
        require(end + 1 < info.size());
        size_t next = i + 1 < header->PropertyCount
                          ? header->EventPropertyInfoArray[i + 1].NameOffset
                          : info.size();
        require(next >= end + 2);
        total_values += header->EventPropertyInfoArray[i].length;

        PROPERTY_DATA_DESCRIPTOR own = descriptor_at(info.data() + offset);
        status = TdhGetPropertySize(&record, 0, nullptr, 1, &own, &value_size);
        if (next != end + 2) {
            // A name with a NUL inside reads as a shorter name: maybe another one, maybe none.
            require(status == ERROR_SUCCESS || status == ERROR_NOT_FOUND);
            continue;
        }
        require(status == ERROR_SUCCESS);
        require(value_size <= payload.size());
        std::vector<uint8_t> value(value_size);
        require(TdhGetProperty(&record, 0, nullptr, 1, &own, value_size, value.data()) ==
                ERROR_SUCCESS);
        if (value_size > 0) {
            // The value lies in the payload, and one byte less is not enough.
            require(std::search(payload.begin(), payload.end(), value.begin(), value.end()) !=
                    payload.end());
            require(TdhGetProperty(&record, 0, nullptr, 1, &own, value_size - 1, value.data()) ==
                    ERROR_INSUFFICIENT_BUFFER);
        }
    }
    require(total_values <= payload.size());

    status = TdhGetPropertySize(&record, 0, nullptr, 1, &lookup, &value_size);
    require(status == ERROR_SUCCESS || status == ERROR_NOT_FOUND);
    status = TdhGetProperty(&record, 0, nullptr, 1, &lookup, sizeof small, small);
    require(status == ERROR_SUCCESS || status == ERROR_NOT_FOUND ||
            status == ERROR_INSUFFICIENT_BUFFER);
    return 0;
}
