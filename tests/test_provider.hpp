#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/etw_api.hpp"
#include "net/etw_trace_state.hpp"

namespace tarn::test {

// Crafted events in the self-describing payload that the TDH stand-in reads: property count,
// then per property its UTF-16 name and its value.
struct Property {
    std::string name;
    std::vector<uint8_t> value;
};

Property text_property(const std::string& name, const std::string& text);  // NUL included
Property byte_property(const std::string& name, uint8_t value);
Property u16_property(const std::string& name, uint16_t value);
Property bytes_property(const std::string& name, const std::vector<uint8_t>& value);

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
    // Raw payload, for hostile layouts.
    TestEvent(uint16_t id, std::vector<uint8_t> raw_payload, int64_t timestamp);

    EVENT_RECORD* record() { return &event; }

  private:
    void fill(uint16_t id, int64_t timestamp, const GUID& provider);

    std::vector<uint8_t> payload;
    EVENT_RECORD event;
};

// FILETIME of a moment given in seconds since 1970.
constexpr int64_t filetime_of(int64_t unix_seconds) {
    return unix_seconds * 10000000 + 116444736000000000;
}

}  // namespace tarn::test
