// Arbitrary bytes as one dnstap data frame: the protobuf decoder, the conversion into a DNS
// Server event and its payload, read back through the TDH stand-in.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/etw_api.hpp"
#include "net/standin/dnstap_event.hpp"
#include "net/standin/standin_event.hpp"
#include "require.hpp"

namespace {

using namespace tarn::net;

// Byte fields point into the frame.
void require_inside(const dnstap::Field& field, const uint8_t* data, size_t size) {
    if (field.present && field.size > 0) {
        require(field.data >= data && field.size <= size &&
                static_cast<size_t>(field.data - data) <= size - field.size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dnstap::Message message;
    if (!dnstap::decode(data, size, message)) {
        return 0;
    }
    for (const dnstap::Field* field : {&message.query_address, &message.response_address,
                                       &message.query_message, &message.response_message}) {
        require_inside(*field, data, size);
    }
    static dnstap::Event event;
    if (dnstap::to_event(message, 5, event) != dnstap::Outcome::event) {
        return 0;
    }
    // Every event is a packet event with both addresses and the DNS bytes.
    require(event.property_count == 6);
    require(event.id >= 256 && event.id <= 258);
    require(event.properties[event.property_count - 1].size > 0);
    require(std::strlen(event.server_ip) > 0 && std::strlen(event.server_ip) < 46);
    require(std::strlen(event.client_ip) > 0 && std::strlen(event.client_ip) < 46);

    static standin::Payload payload;
    if (!standin::encode_payload(event.properties, event.property_count, payload)) {
        require(payload.size == 0);
        return 0;
    }
    EVENT_RECORD record;
    standin::fill_event_record(record, dns_server_provider, event.id, event.timestamp, payload,
                               nullptr);
    ULONG info_size = 0;
    require(TdhGetEventInformation(&record, 0, nullptr, nullptr, &info_size) ==
            ERROR_INSUFFICIENT_BUFFER);
    static std::vector<uint8_t> info;
    info.assign(info_size, 0);
    auto* header = reinterpret_cast<TRACE_EVENT_INFO*>(info.data());
    require(TdhGetEventInformation(&record, 0, nullptr, header, &info_size) == ERROR_SUCCESS);
    require(header->PropertyCount == 6);
    // Names are unique, so every property reads back as encoded.
    for (ULONG i = 0; i < header->PropertyCount; ++i) {
        PROPERTY_DATA_DESCRIPTOR descriptor{
            reinterpret_cast<uintptr_t>(info.data() + header->EventPropertyInfoArray[i].NameOffset),
            0xFFFFFFFF, 0};
        ULONG value_size = 0;
        require(TdhGetPropertySize(&record, 0, nullptr, 1, &descriptor, &value_size) ==
                ERROR_SUCCESS);
        require(value_size == event.properties[i].size);
        std::vector<uint8_t> value(value_size + 1);
        require(TdhGetProperty(&record, 0, nullptr, 1, &descriptor, value_size, value.data()) ==
                ERROR_SUCCESS);
        require(value_size == 0 ||
                std::memcmp(value.data(), event.properties[i].data, value_size) == 0);
    }
    return 0;
}
