// One "target" value: parse_target never fails and never leaves a zero port or time-out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/settings.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string value(reinterpret_cast<const char*>(data), size);
    tarn::config::Target target;
    tarn::config::parse_target(target, value.c_str());
    require(target.port != 0);
    require(target.timeout != 0);
    // The address is a prefix of the value and stops before the first colon.
    const char* text = value.c_str();
    require(target.ip.size() <= std::strlen(text));
    require(std::strncmp(target.ip.c_str(), text, target.ip.size()) == 0);
    require(target.ip.find(':') == std::string::npos);
    return 0;
}
