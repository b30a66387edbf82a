#include "net/ipv6_text.hpp"

#include <cstddef>

#include "config/target_address.hpp"

namespace tarn::net {

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool is_ipv6_text(std::string_view text) {
    size_t at = 0;
    int groups = 0;  // 16-bit groups written out; an IPv4 tail is two
    bool compressed = text.substr(0, 2) == "::";
    if (compressed) {
        at = 2;
    }
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && is_hex_digit(text[end])) {
            ++end;
        }
        if (end < text.size() && text[end] == '.') {
            if (!config::is_ipv4_address(text.substr(at))) {
                return false;
            }
            groups += 2;
            break;
        }
        if (end == at || end - at > 4) {
            return false;
        }
        ++groups;
        at = end;
        if (at == text.size()) {
            break;
        }
        // A colon must lead to another group, or be the second of the one "::".
        if (text[at++] != ':' || at == text.size()) {
            return false;
        }
        if (text[at] == ':') {
            if (compressed) {
                return false;
            }
            compressed = true;
            ++at;
        }
    }
    return compressed ? groups < 8 : groups == 8;
}

}  // namespace tarn::net
