#include "config/settings.hpp"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/target_address.hpp"
#include "error/error.hpp"
#include "support/log.hpp"

namespace tarn::config {

uint32_t queue_size = 104857600;
bool ipv6_clients = false;
std::list<Target> target_list;
EtwBuffers etw_buffers;
TlsSettings tls_settings;
std::string dnstap_socket = "/run/sabrel-agent/dnstap.sock";
std::string metrics_file;

namespace {

constexpr uint16_t default_port = 8100;
constexpr uint32_t default_timeout = 5;

// atol with a 32-bit long: out-of-range numbers give the nearest limit, whatever the width
// of long on this platform.
int32_t read_number(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Two numbers separated by blanks, 1 <= first <= second, nothing after them.
bool read_range(const char* text, uint32_t& first, uint32_t& second) {
    char* end = nullptr;
    unsigned long long low = std::strtoull(text, &end, 10);
    const char* rest = end;
    unsigned long long high = std::strtoull(rest, &end, 10);
    while (*end != '\0' && is_space(*end)) {
        ++end;
    }
    if (end == rest || *end != '\0' || low < 1 || low > high || high > UINT32_MAX) {
        return false;
    }
    first = static_cast<uint32_t>(low);
    second = static_cast<uint32_t>(high);
    return true;
}

void refuse_line(const char* key, const char* value, const char* why) {
    log_message("ERROR - Config: line \"%s %s\" not used: %s", key, value, why);
}

// A whole number and nothing after it but blanks.
bool read_whole_number(const char* text, int32_t& value) {
    char* end = nullptr;
    long long number = std::strtoll(text, &end, 10);
    while (end != text && *end != '\0' && is_space(*end)) {
        ++end;
    }
    if (end == text || *end != '\0' || number < INT32_MIN || number > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

void apply_etw_buffers(const ConfigStore& store) {
    if (const char* text = store.get("etw-buffer-size")) {
        int32_t size = 0;
        if (read_whole_number(text, size) && size >= EtwBuffers::smallest_kb &&
            size <= EtwBuffers::largest_kb) {
            etw_buffers.size_kb = static_cast<uint32_t>(size);
            log_message("Config: etw-buffer-size = %u", etw_buffers.size_kb);
        } else {
            refuse_line("etw-buffer-size", text,
                        "kilobytes from 4 to 16384 are wanted; 128 is used");
        }
    }
    if (const char* text = store.get("etw-buffers")) {
        if (read_range(text, etw_buffers.minimum, etw_buffers.maximum)) {
            log_message("Config: etw-buffers = %u %u", etw_buffers.minimum, etw_buffers.maximum);
        } else {
            refuse_line("etw-buffers", text,
                        "two numbers, the least and the most buffers, 1 <= least <= most, are "
                        "wanted; ETW's choice is used");
        }
    }
}

// A certificate's SHA-1 thumbprint as Windows shows it, blanks and colons allowed between the
// 40 hexadecimal digits; empty when it is not one.
std::string read_thumbprint(const char* text) {
    std::string digits;
    for (; *text != '\0'; ++text) {
        if (std::isxdigit(static_cast<unsigned char>(*text))) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
        } else if (*text != ':' && !is_space(*text)) {
            return "";
        }
    }
    return digits.size() == 40 ? digits : "";
}

void apply_tls(const ConfigStore& store) {
    const char* on = store.get("tls");
    // Anything but on or off is refused, never taken as plaintext with tls-* keys set.
    if (on != nullptr && std::strcmp(on, "on") != 0 && std::strcmp(on, "off") != 0) {
        throw ConfigError("Config: tls \"" + std::string(on) +
                          "\" is neither on nor off: nothing is sent until it is one of them");
    }
    tls_settings.on = on != nullptr && std::strcmp(on, "on") == 0;
    const std::pair<const char*, std::string TlsSettings::*> texts[] = {
        {"tls-ca", &TlsSettings::ca_file},
        {"tls-cert", &TlsSettings::cert_file},
        {"tls-key", &TlsSettings::key_file},
        {"tls-server-name", &TlsSettings::server_name},
        {"tls-cert-password", &TlsSettings::cert_password}};
    for (const auto& [key, field] : texts) {
        const char* value = store.get(key);
        tls_settings.*field = value != nullptr ? value : "";
    }
    const char* thumbprint = store.get("tls-cert-thumbprint");
    tls_settings.cert_thumbprint = thumbprint != nullptr ? read_thumbprint(thumbprint) : "";
    if (thumbprint != nullptr && tls_settings.cert_thumbprint.empty()) {
        log_message("ERROR - Config: tls-cert-thumbprint %s is not 40 hexadecimal digits",
                    thumbprint);
    }
    if (!tls_settings.on) {
        std::string unused;
        for (const auto& [key, field] : texts) {
            if (store.get(key) != nullptr) {
                unused += (unused.empty() ? "" : ", ") + std::string(key);
            }
        }
        if (thumbprint != nullptr) {
            unused += unused.empty() ? "tls-cert-thumbprint" : ", tls-cert-thumbprint";
        }
        if (!unused.empty()) {
            log_message("Config: %s unused: tls is not on", unused.c_str());
        }
        return;
    }
    // The password stays out of the log.
    log_message("Config: tls = on, ca:%s cert:%s key:%s server-name:%s thumbprint:%s%s",
                tls_settings.ca_file.c_str(), tls_settings.cert_file.c_str(),
                tls_settings.key_file.c_str(), tls_settings.server_name.c_str(),
                tls_settings.cert_thumbprint.c_str(),
                tls_settings.cert_password.empty() ? "" : " password:set");
}

}  // namespace

void parse_target(Target& target, const char* value) {
    const char* address_end = value + std::strlen(value);
    const char* timeout_text = nullptr;
    const char* first_space = value;
    while (*first_space != '\0' && !is_space(*first_space)) {
        ++first_space;
    }
    if (*first_space != '\0') {
        const char* after = first_space;
        while (*after != '\0' && is_space(*after)) {
            ++after;
        }
        if (*after != '\0') {
            timeout_text = after;
            address_end = first_space;
        }
    }

    target.timeout = default_timeout;
    if (timeout_text != nullptr) {
        target.timeout = static_cast<uint32_t>(read_number(timeout_text));
        if (target.timeout == 0) {
            target.timeout = default_timeout;
        }
    }

    target.port = default_port;
    if (const char* colon = std::strchr(value, ':')) {
        address_end = colon;
        target.port = static_cast<uint16_t>(static_cast<uint32_t>(read_number(colon + 1)) & 0xFFFF);
        if (target.port == 0) {
            target.port = default_port;
        }
    }

    target.ip.assign(value, address_end);
}

void apply_settings(const ConfigStore& store) {
    if (const char* text = store.get("queue-size")) {
        int32_t size = read_number(text);
        if (size != 0) {
            queue_size = static_cast<uint32_t>(size);
        }
    }
    log_message("Config: queue-size = %u", queue_size);

    const char* ipv6 = store.get("ipv6-clients");
    ipv6_clients = ipv6 != nullptr && std::strcmp(ipv6, "on") == 0;
    if (ipv6 != nullptr && !ipv6_clients && std::strcmp(ipv6, "off") != 0) {
        refuse_line("ipv6-clients", ipv6, "the value is on or off; off is used");
    }
    log_message("Config: ipv6-clients = %s", ipv6_clients ? "on" : "off");

    const std::vector<std::string> targets = store.get_all("target");
    for (const auto& value : targets) {
        Target target;
        parse_target(target, value.c_str());
        // Anything else would reach inet_addr, which reads "10.1.2" as 10.1.0.2.
        if (!is_ipv4_address(target.ip)) {
            refuse_line("target", value.c_str(),
                        ("\"" + target.ip + "\" is not a dotted-quad IPv4 address").c_str());
            continue;
        }
        log_message("Config: target = ip:%s port:%d timeout:%u", target.ip.c_str(),
                    static_cast<int>(target.port), target.timeout);
        target_list.push_back(std::move(target));
    }
    if (!targets.empty() && target_list.empty()) {
        log_message(
            "ERROR - Config: no target left: records stay in the queue until the "
            "configuration names a collector");
    }
    apply_etw_buffers(store);
    apply_tls(store);
    const char* metrics = store.get("metrics-file");
    if (metrics != nullptr && *metrics != '\0') {
        metrics_file = metrics;
        log_message("Config: metrics-file = %s", metrics_file.c_str());
    }
    const char* path = store.get("dnstap-socket");
    if (path != nullptr && *path != '\0') {
        dnstap_socket = path;
        log_message("Config: dnstap-socket = %s", dnstap_socket.c_str());
    }
}

}  // namespace tarn::config
