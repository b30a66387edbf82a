#pragma once

#include <string>
#include <string_view>

#include "collector/dns_decoder.hpp"
#include "collector/message_decoder.hpp"

namespace tarn::collector {

struct ClickHouseColumn {
    const char* name;
    const char* type;
};

// The columns a row fills, in RowBinary order, as collector/clickhouse_schema.sql makes them.
inline constexpr ClickHouseColumn clickhouse_columns[] = {
    {"time", "DateTime"},    {"agent", "String"},  {"device", "String"}, {"server", "String"},
    {"transport", "String"}, {"length", "UInt32"}, {"id", "UInt16"},     {"qr", "UInt8"},
    {"opcode", "UInt8"},     {"rcode", "UInt8"},   {"qname", "String"},  {"qtype", "UInt16"},
    {"packet", "String"}};

// One row in ClickHouse's RowBinary format, appended to out. A message that does not decode
// as DNS keeps its header and question columns 0 or empty.
void append_clickhouse_row(std::string& out, std::string_view agent, const Message& message,
                           const DnsSummary& dns);

}  // namespace tarn::collector
