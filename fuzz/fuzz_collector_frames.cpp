// Arbitrary bytes as one agent connection's stream through the collector's reassembly, record
// and DNS decoding, JSON and pcap packet building. The first byte picks how the stream is cut
// into reads; the output must not depend on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "collector/connection_stream.hpp"
#include "collector/pcap_writer.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct Result {
    bool ok = true;
    std::string json;
    std::string notes;
    uint64_t frames = 0;
    uint64_t records = 0;
};

Result run(const uint8_t* data, size_t size, unsigned split, tarn::collector::PcapWriter* pcap) {
    tarn::collector::ConnectionStream stream(1, "127.0.0.1:1", 65536);
    Result result;
    size_t at = 0;
    while (at < size && result.ok) {
        size_t chunk = split == 0 ? size : 1 + (split + at) % 13;
        chunk = chunk > size - at ? size - at : chunk;
        result.ok = stream.consume(data + at, chunk, result.json, result.notes, pcap);
        at += chunk;
    }
    result.frames = stream.frames();
    result.records = stream.records();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static tarn::collector::PcapWriter pcap("/dev/null");
    unsigned split = data[0];
    Result whole = run(data + 1, size - 1, 0, &pcap);
    Result pieces = run(data + 1, size - 1, split, nullptr);
    require(whole.ok == pieces.ok && whole.json == pieces.json && whole.notes == pieces.notes);
    require(whole.frames == pieces.frames && whole.records == pieces.records);

    // Plain ASCII lines, one per decoded frame (a failed last frame writes nothing).
    size_t lines = 0;
    for (char c : whole.json) {
        require(c == '\n' || (c >= 0x20 && c < 0x7f));
        lines += c == '\n';
    }
    require(lines == whole.frames || (!whole.ok && lines + 1 == whole.frames));
    require(whole.json.empty() || whole.json.back() == '\n');
    require(whole.records <= lines);
    return 0;
}
