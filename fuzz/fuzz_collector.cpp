// Arbitrary bytes as what an agent sends the collector: frames cut from the stream, each frame
// decoded and written as JSON, pcap, dnstap and ClickHouse rows, as the collector does for a
// connection. The first byte picks how the stream is cut into reads; no output may depend on it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/connection_stream.hpp"
#include "collector/json_writer.hpp"
#include "dnstap.pb-c.h"
#include "require.hpp"
#include "support/byte_order.hpp"

namespace {

using namespace tarn::collector;
using tarn::load_be16;

struct Run {
    RoundOutput out;
    PcapEncoder pcap;
    bool ok = true;
    std::string close_note;
};

void run(const uint8_t* data, size_t size, unsigned split, Run& run) {
    ConnectionStream stream(7, "192.0.2.1:49152", 66053);  // the smallest --max-frame
    run.out.pcap_encoder = &run.pcap;
    run.out.dnstap_on = true;
    run.out.clickhouse_on = true;
    for (size_t at = 0; at < size && run.ok; ++split) {
        size_t chunk = split == 0 ? size : 1 + split * 31 % 257;
        chunk = chunk > size - at ? size - at : chunk;
        run.ok = stream.consume(data + at, chunk, run.out);
        at += chunk;
    }
    run.close_note = stream.close_note();
}

template <typename Check>
void each_item(const Batch& batch, Check check) {
    const auto* item = reinterpret_cast<const uint8_t*>(batch.bytes.data());
    for (uint32_t size : batch.sizes) {
        check(item, size);
        item += size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Run whole;
    Run pieces;
    run(data + 1, size - 1, 0, whole);
    run(data + 1, size - 1, data[0], pieces);
    for (Batch RoundOutput::*batch : {&RoundOutput::json, &RoundOutput::notes, &RoundOutput::pcap,
                                      &RoundOutput::dnstap, &RoundOutput::clickhouse}) {
        require((whole.out.*batch).bytes == (pieces.out.*batch).bytes &&
                (whole.out.*batch).sizes == (pieces.out.*batch).sizes);
    }
    require(whole.ok == pieces.ok && (!whole.ok || whole.close_note == pieces.close_note));
    for (const Batch* lines : {&whole.out.json, &whole.out.notes}) {  // plain ASCII lines
        each_item(*lines, [](const uint8_t* item, size_t size) {
            for (size_t i = 0; i < size; ++i) {
                require(i + 1 == size ? item[i] == '\n' : item[i] >= 0x20 && item[i] < 0x7F);
            }
        });
    }
    // A raw IP packet behind each pcap item's 4-byte time, its length field true.
    each_item(whole.out.pcap, [](const uint8_t* item, size_t size) {
        const uint8_t* ip = item + 4;
        require(size >= 4 + 28 && (ip[0] >> 4 == 4 || ip[0] >> 4 == 6));
        require((ip[0] >> 4 == 4 ? load_be16(ip + 2) : load_be16(ip + 4) + 40u) == size - 4);
    });

    // Each dnstap message unpacks and carries the DNS bytes of its JSON line.
    const std::string& json = whole.out.json.bytes;
    const std::string record_start = "{\"type\":\"dns\"";
    size_t line = 0;
    each_item(whole.out.dnstap, [&](const uint8_t* item, size_t size) {
        line = json.find(record_start, line);
        require(line != std::string::npos);
        const size_t hex = json.find("\"packet\":\"", line) + 10;
        line = json.find('\n', line);
        Dnstap__Dnstap* tap = dnstap__dnstap__unpack(nullptr, size, item);
        require(tap != nullptr && tap->message != nullptr);
        const Dnstap__Message& message = *tap->message;
        const ProtobufCBinaryData& dns =
            message.has_query_message ? message.query_message : message.response_message;
        std::string dns_hex;
        append_hex(dns_hex, dns.data, dns.len);
        require(json.compare(hex, dns_hex.size() + 1, dns_hex + "\"") == 0);
        dnstap__dnstap__free_unpacked(tap, nullptr);
    });
    require(json.find(record_start, line) == std::string::npos);
    return 0;
}
