#include <direct.h>
#include <windows.h>

#include <cstring>
#include <sstream>
#include <string>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"
#include "error/error.hpp"

namespace tarn {

std::string executable_directory() {
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr) {
        DWORD code = GetLastError();
        std::ostringstream message;
        message << "GetModuleHandle() failed: "
                << error::system_error_text(static_cast<int32_t>(code));
        throw error::UnknownError(message.str());
    }
    char path[8192] = {};
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0) {
        DWORD code = GetLastError();
        std::ostringstream message;
        message << "GetModuleFileName() failed: "
                << error::system_error_text(static_cast<int32_t>(code));
        throw error::UnknownError(message.str());
    }
    // A truncated path is used as it is; only the backslash separates, as in "C:\agent".
    return directory_part(std::string(path, strnlen(path, sizeof path)), '\\');
}

int change_directory(const char* path) {
    return _chdir(path) == 0 ? 0 : -1;
}

}  // namespace tarn
