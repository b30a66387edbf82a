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
    auto put = [this](size_t at, size_t value) {  // u16, little-endian
        payload[at] = static_cast<uint8_t>(value);
        payload[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    // Count and directory, then each name (UTF-16LE) followed by its value.
    payload.resize(2 + 8 * properties.size());
    put(0, properties.size());
    for (size_t i = 0; i < properties.size(); ++i) {
        const Property& property = properties[i];
        size_t entry = 2 + 8 * i;
        put(entry, payload.size());
        put(entry + 2, property.name.size());
        for (char c : property.name) {
            payload.push_back(static_cast<uint8_t>(c));
            payload.push_back(0);
        }
        put(entry + 4, payload.size());
        put(entry + 6, property.value.size());
        payload.insert(payload.end(), property.value.begin(), property.value.end());
    }
    event.EventHeader.ProviderId = provider;
    event.EventHeader.EventDescriptor.Id = id;
    event.EventHeader.TimeStamp.QuadPart = timestamp;
    event.UserData = payload.data();
    event.UserDataLength = static_cast<USHORT>(payload.size());
}

}  // namespace tarn::test
