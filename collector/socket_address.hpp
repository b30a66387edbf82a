#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace tarn::collector {

// An IPv4 or IPv6 address text ("[::1]" too) and a port as a socket address; the length
// filled, or 0 when the text is no address.
socklen_t to_socket_address(std::string host, uint16_t port, sockaddr_storage& address);

}  // namespace tarn::collector
