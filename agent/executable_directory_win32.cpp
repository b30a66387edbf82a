#include <direct.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"
#include "error/error.hpp"

namespace tarn {

std::string executable_directory() {
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr) {
        error::throw_failure<error::UnknownError>("GetModuleHandle()", GetLastError());
    }
    char path[8192] = {};
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0) {
        error::throw_failure<error::UnknownError>("GetModuleFileName()", GetLastError());
    }
    // A truncated path is used as it is; only the backslash separates, as in "C:\agent".
    return directory_part(std::string(path, strnlen(path, sizeof path)), '\\');
}

int change_directory(const char* path) {
    return _chdir(path) == 0 ? 0 : -1;
}

}  // namespace tarn
