// The collector's two choices of a ClickHouse insert format with explicit columns, side by side:
// RowBinary (what the collector writes) and TabSeparated (each string escaped, numbers as text).
// Encodes the same replayed records both ways, reports the collector's cost and bytes per row,
// and writes both bodies for scripts/bench.sh to insert, which then measures ClickHouse's cost
// of each and checks that both tables hold the same rows.
//   row_formats ROWS DIR
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "collector/clickhouse_row.hpp"
#include "collector/dns_decoder.hpp"
#include "collector/message_decoder.hpp"

namespace {

using namespace tarn::collector;

constexpr std::string_view agent = "127.0.0.1";
constexpr int passes = 5;

struct Record {
    Message message;
    DnsSummary dns;
};

void put_number(std::string& out, uint64_t value) {
    char digits[20];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// TabSeparated takes any byte but the tab, the newline and the backslash as it is: runs of
// those are appended whole.
void put_escaped(std::string& out, std::string_view text) {
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        for (end = at; end < text.size(); ++end) {
            const char c = text[end];
            if (c == '\t' || c == '\n' || c == '\\') {
                break;
            }
        }
        out.append(text.data() + at, end - at);
        if (end < text.size()) {
            out += '\\';
            out += text[end] == '\t' ? 't' : text[end] == '\n' ? 'n' : '\\';
        }
    }
}

// The row of append_clickhouse_row in TabSeparated: the same columns, the time as Unix seconds.
void append_tsv_row(std::string& out, const Message& message, const DnsSummary& dns) {
    const bool question = dns.ok && dns.has_question;
    const auto column = [&out](auto put) {
        put();
        out += '\t';
    };
    column([&] { put_number(out, message.time); });
    column([&] { put_escaped(out, agent); });
    column([&] { put_escaped(out, message.device_ip); });
    column([&] { put_escaped(out, message.server_ip); });
    column([&] { out += message.is_tcp != 0 ? "tcp" : "udp"; });
    column([&] { put_number(out, message.packet_size); });
    column([&] { put_number(out, dns.ok ? dns.id : 0); });
    column([&] { put_number(out, dns.ok && dns.qr ? 1 : 0); });
    column([&] { put_number(out, dns.ok ? dns.opcode : 0); });
    column([&] { put_number(out, dns.ok ? dns.rcode : 0); });
    column([&] { put_escaped(out, question ? std::string_view(dns.qname) : std::string_view()); });
    column([&] { put_number(out, question ? dns.qtype : 0); });
    put_escaped(
        out, std::string_view(reinterpret_cast<const char*>(message.packet), message.packet_size));
    out += '\n';
}

// The best of a few passes over every record, in nanoseconds per row.
template <typename Encode>
double time_per_row(const std::vector<Record>& records, std::string& out, Encode encode) {
    double best = 0;
    for (int pass = 0; pass < passes; ++pass) {
        out.clear();
        const int64_t begin = tarn::bench::now_ns();
        for (const Record& record : records) {
            encode(out, record);
        }
        const double per_row = static_cast<double>(tarn::bench::now_ns() - begin) /
                               static_cast<double>(records.size());
        best = pass == 0 || per_row < best ? per_row : best;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc == 3 ? std::atol(argv[1]) : 0;
    if (rows < 1) {
        std::fprintf(stderr, "usage: row_formats ROWS DIR\n");
        return 2;
    }
    // The replay's mix: queries and responses of 60 to 300 bytes.
    std::vector<std::vector<uint8_t>> payloads(static_cast<size_t>(rows));
    std::vector<Record> records(payloads.size());
    for (size_t i = 0; i < payloads.size(); ++i) {
        payloads[i] =
            tarn::bench::dns_record(60 + (i * 37) % 240, i % 2 == 1, static_cast<uint16_t>(i));
        std::string error;
        Record& record = records[i];
        if (!decode_message(payloads[i].data(), payloads[i].size(), record.message, error)) {
            std::fprintf(stderr, "row_formats: record %zu: %s\n", i, error.c_str());
            return 1;
        }
        decode_dns(record.message.packet, record.message.packet_size, record.dns);
    }
    const std::string dir = argv[2];
    std::string out;
    const auto report = [&](const char* format, double ns) {
        std::printf("kind=row_format format=%s rows=%ld ns_per_row=%.1f bytes_per_row=%.1f\n",
                    format, rows, ns, static_cast<double>(out.size()) / static_cast<double>(rows));
        std::ofstream(dir + "/rows." + format, std::ios::binary) << out;
    };
    report("rowbinary", time_per_row(records, out, [](std::string& to, const Record& r) {
               append_clickhouse_row(to, agent, r.message, r.dns);
           }));
    report("tsv", time_per_row(records, out, [](std::string& to, const Record& r) {
               append_tsv_row(to, r.message, r.dns);
           }));
    return 0;
}
