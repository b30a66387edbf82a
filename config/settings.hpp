#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "config/config_store.hpp"

namespace tarn::config {

struct Target {
    std::string ip = "127.0.0.1";
    uint16_t port = 8100;
    uint32_t timeout = 5;  // seconds
};

// The ETW session's buffers as the operator asked for them: kilobytes per buffer, the least
// and the most buffers; 0 where not asked, leaving ETW's choice.
struct EtwBuffers {
    // ETW's own bounds since Windows 8; a buffer must hold the largest event whole.
    static constexpr int32_t smallest_kb = 4;
    static constexpr int32_t largest_kb = 16384;

    uint32_t size_kb = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;
};

// TLS to every target when on; paths and names as configured, empty where not given. The
// password and the thumbprint (hex digits only) serve the Windows certificate store.
struct TlsSettings {
    bool on = false;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string server_name;
    std::string cert_password;
    std::string cert_thumbprint;
};

// Written once by apply_settings before any thread starts; read-only afterwards.
extern uint32_t queue_size;
// "ipv6-clients on": device addresses that are IPv6 texts make records too.
extern bool ipv6_clients;
extern std::list<Target> target_list;
// "metrics-file PATH": the figures in the Prometheus text format, for a textfile collector.
extern std::string metrics_file;
extern EtwBuffers etw_buffers;
extern TlsSettings tls_settings;
// Linux: where the ETW stand-in listens for dnstap from the DNS server.
extern std::string dnstap_socket;

void apply_settings(const ConfigStore& store);
void parse_target(Target& target, const char* value);

}  // namespace tarn::config
