#include "net/ipv6_text.hpp"

#include <cstddef>

namespace tarn::net {

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Four decimal bytes: no sign, no leading zero, none above 255.
bool is_dotted_quad(std::string_view text) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at == text.size() || text[at++] != '.')) {
            return false;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        }
        const size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
    }
    return at == text.size();
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
            if (!is_dotted_quad(text.substr(at))) {
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
