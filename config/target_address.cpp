#include "config/target_address.hpp"

#include <cstdint>

namespace tarn::config {

namespace {

bool is_digit(char byte) {
    return byte >= '0' && byte <= '9';
}

// Decimal digits only, no sign and no leading zero, at most limit; false for anything else.
bool read_decimal(std::string_view text, uint64_t limit, uint64_t& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    value = 0;
    for (char byte : text) {
        if (!is_digit(byte)) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(byte - '0');
        if (value > limit) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_ipv4_address(std::string_view text) {
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? text.find('.') : text.size();
        uint64_t value = 0;
        if (end == std::string_view::npos || !read_decimal(text.substr(0, end), 255, value)) {
            return false;
        }
        text.remove_prefix(part < 3 ? end + 1 : end);
    }
    return true;
}

std::string target_item_problem(std::string_view item) {
    size_t blank = item.find(' ');
    std::string_view endpoint = item.substr(0, blank);
    if (blank != std::string_view::npos) {
        size_t start = item.find_first_not_of(' ', blank);
        uint64_t seconds = 0;
        if (start == std::string_view::npos ||
            !read_decimal(item.substr(start), UINT32_MAX, seconds) || seconds == 0) {
            return "the time-out is not a number of seconds from 1 to 4294967295";
        }
    }
    size_t colon = endpoint.find(':');
    if (colon != std::string_view::npos) {
        uint64_t port = 0;
        if (!read_decimal(endpoint.substr(colon + 1), 65535, port) || port == 0) {
            return "the port is not a number from 1 to 65535";
        }
    }
    if (!is_ipv4_address(endpoint.substr(0, colon))) {
        return "the address is not a dotted-quad IPv4 address";
    }
    return "";
}

}  // namespace tarn::config
