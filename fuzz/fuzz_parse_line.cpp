// One configuration line as fgets hands it over: checks the shape of what parse_line cuts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_store.hpp"

namespace {

bool is_space(char byte) {
    auto value = static_cast<signed char>(byte);
    return value == ' ' || (value >= '\t' && value <= '\r');
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader never hands over more than 4095 bytes; longer input is still a valid string.
    std::string line(reinterpret_cast<const char*>(data), size);
    auto entry = tarn::config::ConfigStore::parse_line(line.c_str());
    const char* text = line.c_str();
    size_t length = std::strlen(text);
    if (!entry) {
        // Nothing only when the first non-space byte is '#' or the end.
        size_t i = 0;
        while (i < length && is_space(text[i])) {
            ++i;
        }
        require(i == length || text[i] == '#');
        return 0;
    }
    const std::string& key = entry->key;
    const std::string& value = entry->value;
    require(!key.empty());
    for (char byte : key) {
        require(!is_space(byte) && byte != '#' && byte != '\0');
        require(!(byte >= 'A' && byte <= 'Z'));
    }
    require(value.find('#') == std::string::npos);
    require(value.find('\0') == std::string::npos);
    if (!value.empty()) {
        require(!is_space(value.front()) && !is_space(value.back()));
        // The value is cut out of the line unchanged.
        require(std::strstr(text, value.c_str()) != nullptr);
    }
    require(key.size() + value.size() <= length);
    return 0;
}
