// Arbitrary bytes as the configuration file: the reader's lines, keys and values, and the
// settings taken from them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "config/target_address.hpp"
#include "error/error.hpp"
#include "require.hpp"

namespace {

using namespace tarn::config;

bool is_blank_or_end(char byte) {
    return is_space(byte) || byte == '#' || byte == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (file == nullptr) {
        return 0;  // an empty buffer, on some C libraries
    }
    ConfigStore store;
    store.read(file);
    std::fclose(file);
    // Keys: one lower-case word; values: words without comment, NUL or outer blanks; both
    // from one line of at most 4095 bytes.
    for (const ConfigEntry& entry : store.all()) {
        require(!entry.key.empty() && entry.key.size() + entry.value.size() <= 4095);
        for (char byte : entry.key) {
            require(!is_blank_or_end(byte) && !(byte >= 'A' && byte <= 'Z'));
        }
        require(entry.value.find_first_of(std::string("#\0", 2)) == std::string::npos);
        require(entry.value.empty() ||
                (!is_space(entry.value.front()) && !is_space(entry.value.back())));
    }

    target_list.clear();
    etw_buffers = {};
    try {
        apply_settings(store);
    } catch (const ConfigError&) {  // only a tls that is neither on nor off ends the run
        const char* tls = store.get("tls");
        require(tls != nullptr && std::strcmp(tls, "on") != 0 && std::strcmp(tls, "off") != 0);
        return 0;
    }
    // ETW's buffers: values ETW takes, or none at all.
    const uint32_t size_kb = etw_buffers.size_kb;
    require((size_kb == 0 ||
             (size_kb >= EtwBuffers::smallest_kb && size_kb <= EtwBuffers::largest_kb)) &&
            etw_buffers.minimum <= etw_buffers.maximum &&
            (etw_buffers.minimum != 0) == (etw_buffers.maximum != 0));
    const char* ipv6 = store.get("ipv6-clients");
    require(ipv6_clients == (ipv6 != nullptr && std::strcmp(ipv6, "on") == 0));
    // Targets: the lines whose address is a dotted quad, in file order, the address ending at
    // the first colon or, without one, at the first blank.
    auto target = target_list.begin();
    for (const std::string& value : store.get_all("target")) {
        const size_t colon = value.find(':');
        const size_t end = colon != std::string::npos ? colon : value.find_first_of(" \t\n\v\f\r");
        if (!is_ipv4_address(value.substr(0, end))) {
            continue;
        }
        require(target != target_list.end() && target->port != 0 && target->timeout != 0 &&
                value.rfind(target->ip, 0) == 0 &&
                target->ip.size() == std::min(end, value.size()));
        ++target;
    }
    require(target == target_list.end());
    return 0;
}
