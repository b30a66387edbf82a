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
    std::vector<net::standin::PropertyValue> values;
    for (const Property& property : properties) {
        names.emplace_back();
        for (char c : property.name) {
            names.back().insert(names.back().end(), {static_cast<uint8_t>(c), 0});
        }
    }
    for (size_t i = 0; i < properties.size(); ++i) {
        values.push_back({names[i].data(), properties[i].name.size(), properties[i].value.data(),
                          static_cast<uint32_t>(properties[i].value.size())});
    }
    net::standin::encode_payload(values.data(), values.size(), payload);
    net::standin::fill_event_record(event, provider, id, timestamp, payload, nullptr);
}

}  // namespace tarn::test
