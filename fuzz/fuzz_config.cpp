// Arbitrary bytes as the configuration file: the reader's lines, keys and values, and the
// settings taken from them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/settings.hpp"
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
    apply_settings(store);
    // ETW's buffers: values ETW takes, or none at all.
    require(etw_buffers.size_kb <= 1024 && etw_buffers.minimum <= etw_buffers.maximum &&
            (etw_buffers.minimum != 0) == (etw_buffers.maximum != 0));
    const char* ipv6 = store.get("ipv6-clients");
    require(ipv6_clients == (ipv6 != nullptr && std::strcmp(ipv6, "on") == 0));
    const auto values = store.get_all("target");
    require(values.size() == target_list.size());
    auto value = values.begin();
    for (const Target& target : target_list) {  // the address ends at a colon or a blank
        require(target.port != 0 && target.timeout != 0 && value->rfind(target.ip, 0) == 0);
        require(target.ip.find(':') == std::string::npos &&
                (target.ip.size() == value->size() || (*value)[target.ip.size()] == ':' ||
                 is_space((*value)[target.ip.size()])));
        ++value;
    }
    return 0;
}
