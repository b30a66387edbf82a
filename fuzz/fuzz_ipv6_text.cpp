// The IPv6 validator against the C library: for every input, the same answer as
// inet_pton(AF_INET6); an input with a NUL is no address text at all.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/ipv6_text.hpp"
#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint8_t address[16];
    const bool expected =
        text.find('\0') == std::string::npos && inet_pton(AF_INET6, text.c_str(), address) == 1;
    require(tarn::net::is_ipv6_text(text) == expected);
    return 0;
}
