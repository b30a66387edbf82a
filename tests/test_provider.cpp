#include "test_provider.hpp"

namespace tarn::test {

std::vector<Property> packet_properties(uint8_t is_tcp, const std::string& server_ip,
                                        const std::string& device_ip,
                                        const std::vector<uint8_t>& packet) {
    uint16_t xid = packet.size() >= 2 ? static_cast<uint16_t>(packet[0] << 8 | packet[1]) : 0;
    return {{"TCP", {is_tcp}},           {"InterfaceIP", text(server_ip)},
            {"Source", text(device_ip)}, {"Port", le16(53000)},
            {"XID", le16(xid)},          {"QNAME", text("example.com.")},
            {"QTYPE", le16(1)},          {"BufferSize", le16(static_cast<uint16_t>(packet.size()))},
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
