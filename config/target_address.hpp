#pragma once

#include <string>
#include <string_view>

namespace tarn::config {

// Dotted-quad IPv4 text as inet_pton(AF_INET) reads it: four decimal numbers 0 to 255
// separated by dots, no leading zeros, nothing else. inet_addr would also take "10.1.2"
// (10.1.0.2), "0x7f.1" and, for a host name, 255.255.255.255.
bool is_ipv4_address(std::string_view text);

// An installer's TARGETS item: exactly what a target line takes, written strictly: an IPv4
// address, optionally a colon and a port 1 to 65535, optionally blanks and a time-out of 1 or
// more seconds, in decimal digits. Empty when the item is good, else why it is not.
std::string target_item_problem(std::string_view item);

}  // namespace tarn::config
