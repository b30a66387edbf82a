#include "sensor/tls/certificate_names.hpp"

#include <algorithm>

namespace tarn::sensor {

namespace {

char lower(char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool name_matches(std::string_view pattern, std::string_view name) {
    if (pattern.substr(0, 2) == "*.") {
        const std::string_view suffix = pattern.substr(1);  // ".example.com"
        const size_t dot = name.find('.');
        return suffix.find('.', 1) != std::string_view::npos && dot != std::string_view::npos &&
               dot > 0 && equal_ignoring_case(name.substr(dot), suffix);
    }
    return equal_ignoring_case(pattern, name);
}

}  // namespace

bool carries_name(const CertificateNames& names, std::string_view expected,
                  std::string_view address) {
    if (!address.empty()) {
        return std::find(names.ip_addresses.begin(), names.ip_addresses.end(), address) !=
               names.ip_addresses.end();
    }
    if (expected.empty() || expected.find('\0') != std::string_view::npos) {
        return false;
    }
    if (names.dns_names.empty()) {
        return !names.common_name.empty() && name_matches(names.common_name, expected);
    }
    return std::any_of(
        names.dns_names.begin(), names.dns_names.end(),
        [expected](const std::string& name) { return name_matches(name, expected); });
}

}  // namespace tarn::sensor
