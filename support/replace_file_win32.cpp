#include <windows.h>

#include <memory>
#include <type_traits>

#include "error/error.hpp"
#include "support/replace_file.hpp"

namespace tarn {

namespace {

struct CloseHandle_ {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, CloseHandle_>;

[[noreturn]] void fail(const std::string& call) {
    const DWORD code = GetLastError();
    error::throw_failure<error::UnknownError>(call, code);
}

// The agent's paths are in the system's code page, as fopen takes them.
std::wstring wide(const std::string& path) {
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring text(static_cast<size_t>(size > 0 ? size : 1), L'\0');
    if (size <= 0 || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, text.data(), size) != size) {
        fail("MultiByteToWideChar(" + path + ")");
    }
    return text;
}

}  // namespace

void replace_file(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".tmp";
    const std::wstring temporary_name = wide(temporary);
    FileHandle file(CreateFileW(temporary_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        fail("CreateFileW(" + temporary + ")");
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                   nullptr) ||
        written != contents.size()) {
        fail("WriteFile(" + temporary + ")");
    }
    if (!CloseHandle(file.release())) {
        fail("CloseHandle(" + temporary + ")");
    }
    if (!MoveFileExW(temporary_name.c_str(), wide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail("MoveFileExW(" + temporary + ", " + path + ")");
    }
}

}  // namespace tarn
