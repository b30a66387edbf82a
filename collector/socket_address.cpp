#include "collector/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tarn::collector {

socklen_t to_socket_address(std::string host, uint16_t port, sockaddr_storage& address) {
    address = {};
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, host.c_str(), &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        return sizeof in4;
    }
    if (inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        return sizeof in6;
    }
    return 0;
}

}  // namespace tarn::collector
