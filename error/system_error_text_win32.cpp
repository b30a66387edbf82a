#include <windows.h>

#include <string>

#include "error/error.hpp"

namespace tarn::error {

std::string system_error_text(int32_t code) {
    char buffer[8192] = {};
    // No arguments are passed, so inserts (%1 and the like) must never be expanded: they are
    // returned as they stand.
    DWORD count =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    if (count == 0) {
        return "Unknown error " + std::to_string(code);
    }
    return std::string(buffer);
}

}  // namespace tarn::error
