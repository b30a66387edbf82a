#include "collector/options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace tarn::collector {

const char usage_text[] =
    "usage: collector [--listen ADDR] [--port N] [--pcap FILE]\n"
    "                 [--dnstap FILE|unix:PATH|tcp:ADDR:PORT]... [--max-frame BYTES]\n"
    "                 [--max-connections N] [--stall-timeout SECONDS] [--buffer BYTES]\n"
    "                 [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n"
    "                 [--metrics [ADDR:]PORT [--metrics-agents N]]\n"
    "                 [--clickhouse URL [--clickhouse-table NAME]] [--no-json]\n";

namespace {

struct NumberFlag {
    const char* name;
    uint64_t Options::*field;
    uint64_t min;
    uint64_t max;
    const char* why;  // said when the value is out of range
};

const std::pair<const char*, std::string Options::*> text_flags[] = {
    {"--listen", &Options::listen},
    {"--pcap", &Options::pcap},
    {"--tls-cert", &Options::tls_cert},
    {"--tls-key", &Options::tls_key},
    {"--tls-client-ca", &Options::tls_client_ca},
    {"--metrics", &Options::metrics},
    {"--clickhouse", &Options::clickhouse},
    {"--clickhouse-table", &Options::clickhouse_table}};

const NumberFlag number_flags[] = {
    {"--port", &Options::port, 0, 65535, ""},
    {"--max-frame", &Options::max_frame, largest_record, UINT32_MAX,
     ": the agent's largest record is 8 + 255 + 255 + 65535 = 66053 bytes, and it resends a "
     "record that a collector refuses every 10 s for ever"},
    {"--max-connections", &Options::max_connections, 1, 1000000, ""},
    {"--stall-timeout", &Options::stall_timeout, 1, 86400, ""},
    {"--buffer", &Options::buffer, 65536, uint64_t{1} << 40, ""},
    {"--metrics-agents", &Options::metrics_agents, 1, 1000000, ""},
};

bool parse_number(const char* text, uint64_t& value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    value = parsed;
    return errno == 0 && *end == '\0';
}

// False after saying why, for a known flag with a bad value; true when it is no number flag.
bool set_number(Options& options, const std::string& name, const char* value, bool& known) {
    for (const NumberFlag& flag : number_flags) {
        if (name != flag.name) {
            continue;
        }
        known = true;
        uint64_t number = 0;
        if (!parse_number(value, number) || number < flag.min || number > flag.max) {
            std::fprintf(stderr, "collector: %s %s: must be a number from %llu to %llu%s\n",
                         flag.name, value, static_cast<unsigned long long>(flag.min),
                         static_cast<unsigned long long>(flag.max), flag.why);
            return false;
        }
        options.*flag.field = number;
    }
    return true;
}

bool set_text(Options& options, const std::string& name, const char* value) {
    for (const auto& [flag, field] : text_flags) {
        if (name == flag && (*value != '\0' || field == &Options::listen)) {
            options.*field = value;
            return true;
        }
    }
    return false;
}

// A table name goes into SQL as it is: letters, digits and underscores only.
bool plain_table_name(const std::string& name) {
    const bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
                       std::all_of(name.begin(), name.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
                       });
    if (!plain) {
        std::fprintf(stderr, "collector: --clickhouse-table %s: letters, digits and _ only\n",
                     name.c_str());
    }
    return plain;
}

// The TLS files go together: a certificate needs its key, a client authority needs both.
bool tls_flags_complete(const Options& options) {
    if (options.tls_cert.empty() != options.tls_key.empty() ||
        (!options.tls_client_ca.empty() && options.tls_cert.empty())) {
        std::fprintf(stderr,
                     "collector: --tls-cert and --tls-key go together, and "
                     "--tls-client-ca needs them\n");
        return false;
    }
    return true;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--no-json") {  // the one flag without a value
            options.json = false;
            --i;
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool known = false;
        if (value == nullptr || !set_number(options, name, value, known)) {
            if (value == nullptr) {
                std::fprintf(stderr, "collector: %s needs a value\n", name.c_str());
            }
            return std::nullopt;
        }
        if (set_text(options, name, value)) {
            continue;
        }
        if (name == "--dnstap" && *value != '\0') {
            options.dnstap.push_back(value);
        } else if (!known) {
            std::fprintf(stderr, "collector: unknown option or empty value: %s\n", name.c_str());
            return std::nullopt;
        }
    }
    return tls_flags_complete(options) && plain_table_name(options.clickhouse_table)
               ? std::optional<Options>(options)
               : std::nullopt;
}

}  // namespace tarn::collector
