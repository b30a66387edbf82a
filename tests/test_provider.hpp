#pragma once

#include <string>
#include <vector>

#include "net/etw_trace_state.hpp"
#include "net/standin/standin_event.hpp"

namespace tarn::test {

// Events in the stand-in's self-describing payload, which the TDH stand-in reads.
struct Property {
    std::string name;
    std::vector<uint8_t> value;
};

// The properties of a DNS Server packet event, in the provider's order.
std::vector<Property> packet_properties(uint8_t is_tcp, const std::string& server_ip,
                                        const std::string& device_ip,
                                        const std::vector<uint8_t>& packet);

class TestEvent {
  public:
    TestEvent(uint16_t id, const std::vector<Property>& properties, int64_t timestamp,
              const GUID& provider = net::dns_server_provider);
    TestEvent(const TestEvent&) = delete;
    TestEvent& operator=(const TestEvent&) = delete;
    EVENT_RECORD* record() { return &event; }

  private:
    std::vector<std::vector<uint8_t>> names;  // UTF-16LE
    net::standin::Payload payload;
    EVENT_RECORD event{};
};

// FILETIME of a moment given in seconds (and nanoseconds) since 1970.
constexpr int64_t filetime_of(int64_t unix_seconds, uint32_t nanoseconds = 0) {
    return unix_seconds * 10000000 + nanoseconds / 100 + 116444736000000000;
}
// Property values: a text with its NUL, a little-endian u16.
inline std::vector<uint8_t> text(const std::string& value) {
    return std::vector<uint8_t>(value.c_str(), value.c_str() + value.size() + 1);
}
inline std::vector<uint8_t> le16(unsigned value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

}  // namespace tarn::test
