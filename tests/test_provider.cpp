#include "test_provider.hpp"

#include <cstring>

namespace tarn::test {

namespace {

void put_u16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_u32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

}  // namespace

Property text_property(const std::string& name, const std::string& text) {
    std::vector<uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    return {name, value};
}

Property byte_property(const std::string& name, uint8_t value) {
    return {name, {value}};
}

Property u16_property(const std::string& name, uint16_t value) {
    return {name, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}};
}

Property bytes_property(const std::string& name, const std::vector<uint8_t>& value) {
    return {name, value};
}

std::vector<Property> packet_properties(uint8_t is_tcp, const std::string& server_ip,
                                        const std::string& device_ip,
                                        const std::vector<uint8_t>& packet) {
    uint16_t xid = packet.size() >= 2 ? static_cast<uint16_t>(packet[0] << 8 | packet[1]) : 0;
    return {byte_property("TCP", is_tcp),
            text_property("InterfaceIP", server_ip),
            text_property("Source", device_ip),
            u16_property("Port", 53000),
            u16_property("XID", xid),
            text_property("QNAME", "example.com."),
            u16_property("QTYPE", 1),
            u16_property("BufferSize", static_cast<uint16_t>(packet.size())),
            bytes_property("PacketData", packet)};
}

TestEvent::TestEvent(uint16_t id, const std::vector<Property>& properties, int64_t timestamp,
                     const GUID& provider) {
    put_u16(payload, static_cast<uint16_t>(properties.size()));
    for (const Property& property : properties) {
        put_u16(payload, static_cast<uint16_t>(property.name.size()));
        for (char c : property.name) {
            put_u16(payload, static_cast<uint8_t>(c));
        }
        put_u32(payload, static_cast<uint32_t>(property.value.size()));
        payload.insert(payload.end(), property.value.begin(), property.value.end());
    }
    fill(id, timestamp, provider);
}

TestEvent::TestEvent(uint16_t id, std::vector<uint8_t> raw_payload, int64_t timestamp)
    : payload(std::move(raw_payload)) {
    fill(id, timestamp, net::dns_server_provider);
}

void TestEvent::fill(uint16_t id, int64_t timestamp, const GUID& provider) {
    std::memset(&event, 0, sizeof event);
    event.EventHeader.ProviderId = provider;
    event.EventHeader.EventDescriptor.Id = id;
    event.EventHeader.TimeStamp.QuadPart = timestamp;
    event.UserData = payload.empty() ? nullptr : payload.data();
    event.UserDataLength = static_cast<USHORT>(payload.size());
}

}  // namespace tarn::test
