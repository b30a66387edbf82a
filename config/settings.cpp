#include "config/settings.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/log.hpp"

namespace tarn::config {

uint32_t queue_size = 104857600;
std::list<Target> target_list;
#if !defined(_WIN32)
#endif

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

    for (const auto& value : store.get_all("target")) {
        Target target;
        parse_target(target, value.c_str());
        log_message("Config: target = ip:%s port:%d timeout:%u", target.ip.c_str(),
                    static_cast<int>(target.port), target.timeout);
        target_list.push_back(std::move(target));
    }
}

}  // namespace tarn::config
