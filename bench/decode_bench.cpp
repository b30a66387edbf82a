// Capture cost per event: handle_event through the TDH stand-in plus push into the ring, for
// DNS packets of typical sizes, and the whole Linux capture path from a dnstap frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "alloc_counter.hpp"
#include "bench_support.hpp"
#include "net/dns_server_provider.hpp"
#include "net/etw_trace_state.hpp"
#include "net/standin/dnstap_event.hpp"
#include "net/standin/standin_event.hpp"
#include "sensor/sensor_queue.hpp"
#include "test_provider.hpp"

namespace {

// Each iteration handles a query and its response: the figures are per event, not per pair.
void report_per_event(benchmark::State& state, uint64_t allocations) {
    const double events_done = 2.0 * static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(events_done));
    state.counters["ns_per_event"] =
        benchmark::Counter(events_done, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_event"] = static_cast<double>(allocations) / events_done;
}

using namespace tarn;

constexpr uint32_t ring_size = 64u << 20;
constexpr int warm_up_events = 1000;

// A query and its response, both with packets of the given size.
struct EventPair {
    explicit EventPair(size_t packet_size) {
        auto properties = [&](bool response) {
            return test::packet_properties(0, "127.0.0.1", "192.0.2.77",
                                           bench::dns_packet(packet_size, response, 0x1234));
        };
        query = std::make_unique<test::TestEvent>(256, properties(false),
                                                  test::filetime_of(1735689600));
        response =
            std::make_unique<test::TestEvent>(257, properties(true), test::filetime_of(1735689600));
    }
    std::unique_ptr<test::TestEvent> query;
    std::unique_ptr<test::TestEvent> response;
};

void BM_DecodeAndPush(benchmark::State& state) {
    const auto packet_size = static_cast<size_t>(state.range(0));
    EventPair events(packet_size);
    sensor::SensorQueue queue(ring_size);
    net::EtwTraceState trace;
    trace.message_callback = sensor::push_message;
    trace.message_context = &queue;
    bench::warm_ring(queue);
    for (int i = 0; i < warm_up_events; ++i) {
        net::handle_event(trace, events.query->record());
        net::handle_event(trace, events.response->record());
    }

    uint64_t allocations = bench::allocation_count();
    for (auto _ : state) {
        net::handle_event(trace, events.query->record());
        net::handle_event(trace, events.response->record());
    }
    allocations = bench::allocation_count() - allocations;

    report_per_event(state, allocations);
    state.counters["record_bytes"] = static_cast<double>(trace.message_length);
}
BENCHMARK(BM_DecodeAndPush)->Arg(60)->Arg(120)->Arg(250)->Arg(500);

// Encodes one dnstap frame as a DNS server writes it for a client query or response.
class DnstapFrame {
  public:
    DnstapFrame(const std::vector<uint8_t>& packet, bool response) {
        std::vector<uint8_t> message;
        varint_field(message, 1, response ? 6 : 5);  // CLIENT_QUERY / CLIENT_RESPONSE
        varint_field(message, 2, 1);                 // INET
        varint_field(message, 3, 1);                 // UDP
        bytes_field(message, 4, {192, 0, 2, 77});
        bytes_field(message, 5, {127, 0, 0, 1});
        varint_field(message, 6, 53000);
        varint_field(message, response ? 12 : 8, 1735689600);
        bytes_field(message, response ? 14 : 10, packet);
        varint_field(bytes, 15, 1);  // MESSAGE
        bytes_field(bytes, 14, message);
    }
    std::vector<uint8_t> bytes;

  private:
    static void varint(std::vector<uint8_t>& out, uint64_t value) {
        while (value >= 0x80) {
            out.push_back(static_cast<uint8_t>(value | 0x80));
            value >>= 7;
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    static void varint_field(std::vector<uint8_t>& out, uint32_t field, uint64_t value) {
        varint(out, uint64_t{field} << 3);
        varint(out, value);
    }
    static void bytes_field(std::vector<uint8_t>& out, uint32_t field,
                            const std::vector<uint8_t>& value) {
        varint(out, uint64_t{field} << 3 | 2);
        varint(out, value.size());
        out.insert(out.end(), value.begin(), value.end());
    }
};

// What the Linux agent does per dnstap frame: decode, build the stand-in event, decode that
// with handle_event and push the record.
void BM_DnstapFrameToRing(benchmark::State& state) {
    const auto packet_size = static_cast<size_t>(state.range(0));
    DnstapFrame query(bench::dns_packet(packet_size, false, 0x1234), false);
    DnstapFrame response(bench::dns_packet(packet_size, true, 0x1234), true);
    sensor::SensorQueue queue(ring_size);
    net::EtwTraceState trace;
    trace.message_callback = sensor::push_message;
    trace.message_context = &queue;
    auto message = std::make_unique<net::dnstap::Message>();
    auto event = std::make_unique<net::dnstap::Event>();
    auto payloads = std::make_unique<net::standin::Payload[]>(2);  // by kind, as the agent has
    EVENT_RECORD record;
    bench::warm_ring(queue);
    auto one = [&](const DnstapFrame& frame) {
        net::dnstap::decode(frame.bytes.data(), frame.bytes.size(), *message);
        net::dnstap::to_event(*message, 0, *event);
        net::standin::Payload& payload = payloads[event->id == net::query_received_event ? 0 : 1];
        net::standin::encode_payload(event->properties, event->property_count, payload);
        net::standin::fill_event_record(record, net::dns_server_provider, event->id,
                                        event->timestamp, payload, nullptr);
        net::handle_event(trace, &record);
    };
    for (int i = 0; i < warm_up_events; ++i) {
        one(query);
        one(response);
    }
    uint64_t allocations = bench::allocation_count();
    for (auto _ : state) {
        one(query);
        one(response);
    }
    allocations = bench::allocation_count() - allocations;
    report_per_event(state, allocations);
}
BENCHMARK(BM_DnstapFrameToRing)->Arg(60)->Arg(250)->Arg(500);

}  // namespace
