#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarn::collector {

// An address of a record, as bytes in network order.
struct IpAddress {
    bool v6 = false;
    bool valid = false;  // false: the text was no address of the family; the bytes are zero
    uint8_t bytes[16] = {};
    size_t size() const { return v6 ? 16 : 4; }
};

// A record's two addresses share one family: IPv6 when either text holds a colon.
bool is_v6_pair(std::string_view device, std::string_view server);
// An IPv4 text in an IPv6 pair becomes IPv4-mapped.
IpAddress parse_address(std::string_view text, bool v6);

}  // namespace tarn::collector
