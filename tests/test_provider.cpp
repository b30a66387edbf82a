#include "test_provider.hpp"

namespace tarn::test {

namespace {
Property text_property(const std::string& name, const std::string& text) {  // NUL included
    return {name, std::vector<uint8_t>(text.c_str(), text.c_str() + text.size() + 1)};
}
Property u16_property(const std::string& name, uint16_t value) {
    return {name, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}};
}
}  // namespace

std::vector<Property> packet_properties(uint8_t is_tcp, const std::string& server_ip,
                                        const std::string& device_ip,
                                        const std::vector<uint8_t>& packet) {
    uint16_t xid = packet.size() >= 2 ? static_cast<uint16_t>(packet[0] << 8 | packet[1]) : 0;
    return {{"TCP", {is_tcp}},
            text_property("InterfaceIP", server_ip),
            text_property("Source", device_ip),
            u16_property("Port", 53000),
            u16_property("XID", xid),
            text_property("QNAME", "example.com."),
            u16_property("QTYPE", 1),
            u16_property("BufferSize", static_cast<uint16_t>(packet.size())),
            {"PacketData", packet}};
}

TestEvent::TestEvent(uint16_t id, const std::vector<Property>& properties, int64_t timestamp,
                     const GUID& provider) {
    auto put = [this](size_t value, int bytes) {  // little-endian
        for (int i = 0; i < bytes; ++i) {
            payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    };
    put(properties.size(), 2);
    for (const Property& property : properties) {
        put(property.name.size(), 2);
        for (char c : property.name) {
            put(static_cast<uint8_t>(c), 2);
        }
        put(property.value.size(), 4);
        payload.insert(payload.end(), property.value.begin(), property.value.end());
    }
    event.EventHeader.ProviderId = provider;
    event.EventHeader.EventDescriptor.Id = id;
    event.EventHeader.TimeStamp.QuadPart = timestamp;
    event.UserData = payload.data();
    event.UserDataLength = static_cast<USHORT>(payload.size());
}

}  // namespace tarn::test
