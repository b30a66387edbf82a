#pragma once

#include <string_view>

namespace tarn::net {

// True when text is an IPv6 address in a form inet_pton(AF_INET6) takes: eight groups of 1 to
// 4 hex digits, at most one "::" standing for one or more zero groups, the last two groups
// possibly a dotted IPv4 address. No zone id, no brackets, no blanks.
bool is_ipv6_text(std::string_view text);

}  // namespace tarn::net
