#include "collector/ip_address.hpp"

#include <arpa/inet.h>

#include <string>

namespace tarn::collector {

bool is_v6_pair(std::string_view device, std::string_view server) {
    return device.find(':') != std::string_view::npos || server.find(':') != std::string_view::npos;
}

IpAddress parse_address(std::string_view text, bool v6) {
    IpAddress address;
    address.v6 = v6;
    if (text.find('\0') != std::string_view::npos) {
        return address;
    }
    const std::string copy(text);
    if (!v6) {
        address.valid = inet_pton(AF_INET, copy.c_str(), address.bytes) == 1;
    } else if (inet_pton(AF_INET6, copy.c_str(), address.bytes) == 1) {
        address.valid = true;
    } else if (inet_pton(AF_INET, copy.c_str(), address.bytes + 12) == 1) {
        address.bytes[10] = address.bytes[11] = 0xff;
        address.valid = true;
    }
    if (!address.valid) {
        address = IpAddress{};
        address.v6 = v6;
    }
    return address;
}

}  // namespace tarn::collector
