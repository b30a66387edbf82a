#include <cstring>
#include <string>

#include "error/error.hpp"

namespace tarn::error {

namespace {
// GNU strerror_r returns a pointer; the XSI one fills the buffer. Both resolve here.
[[maybe_unused]] const char* pick(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick(const char* result, const char*) {
    return result;
}
}  // namespace

std::string system_error_text(int32_t code) {
    char buffer[8192] = {};
    const char* text = pick(strerror_r(code, buffer, sizeof buffer), buffer);
    // glibc invents "Unknown error N" for codes it lacks; treat those as a failed lookup.
    if (text == nullptr || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0) {
        return "Unknown error " + std::to_string(code);
    }
    return text;
}

}  // namespace tarn::error
