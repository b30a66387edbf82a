#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sensor/wire_format.hpp"

namespace tarn::collector {

// The agent's largest record: both address texts at their longest and a DNS message of 64 KiB.
// A smaller frame limit would make the agent resend such a record for ever.
inline constexpr uint64_t largest_record =
    sensor::wire::record_fixed_size + 2 * sensor::wire::max_address_length + 65535;

struct Options {
    std::string listen = "127.0.0.1";
    uint64_t port = 8100;
    std::string pcap;
    std::vector<std::string> dnstap;  // PATH, unix:PATH or tcp:ADDR:PORT; any number
    uint64_t max_frame = 1048576;
    uint64_t max_connections = 1024;
    uint64_t stall_timeout = 30;         // seconds
    uint64_t buffer = 32 * 1024 * 1024;  // bytes per output
    // TLS for every agent with this certificate and key; with client_ca, only agents that show a
    // certificate from that authority.
    std::string tls_cert;
    std::string tls_key;
    std::string tls_client_ca;
    // GET /metrics on PORT (loopback) or ADDR:PORT; per-agent series for at most
    // metrics_agents agents.
    std::string metrics;
    uint64_t metrics_agents = 1000;
    // Every record also a row of this ClickHouse table (HTTP interface URL).
    std::string clickhouse;
    std::string clickhouse_table = "dns_records";
    bool json = true;  // --no-json turns the JSON lines off
};

extern const char usage_text[];

// The options, or none after one line on stderr saying what is wrong.
std::optional<Options> parse_options(int argc, char** argv);

}  // namespace tarn::collector
