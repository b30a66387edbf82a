#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collector/dns_decoder.hpp"
#include "collector/message_decoder.hpp"

namespace tarn::collector {

// Appends text as a JSON string literal, quotes included. Any byte may occur: '"', '\' and
// control bytes are escaped, bytes 0x7f and up become \u00XX (the output is plain ASCII).
void append_json_string(std::string& out, std::string_view text);
// RFC 3339 UTC, "2025-01-01T00:00:00Z".
std::string rfc3339_time(uint32_t seconds);
void append_hex(std::string& out, const uint8_t* data, size_t size);

// One line each, newline included, appended to out; "subject" only when not empty; "agent"
// the subject, else the agent's address without the port.
void append_version_json(std::string& out, uint64_t conn, std::string_view subject,
                         std::string_view agent, std::string_view version);
void append_dns_json(std::string& out, uint64_t conn, std::string_view subject,
                     std::string_view agent, const Message& message, const DnsSummary& dns);

}  // namespace tarn::collector
