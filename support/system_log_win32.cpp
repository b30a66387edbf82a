#include <windows.h>

#include <string>

#include "agent_messages.h"
#include "support/system_log.hpp"

namespace tarn {

namespace {
// The source the installer registers, with agent.exe as its message file; lives as long as
// the process.
HANDLE event_source = nullptr;

std::wstring wide(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring result(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, text, -1, &result[0], length);
    }
    return result;
}
}  // namespace

bool system_log_open() {
    event_source = RegisterEventSourceW(nullptr, L"sabrel-agent");
    return event_source != nullptr;
}

void system_log_write(SystemLogKind kind, const char* message) {
    std::wstring text = wide(message);
    const wchar_t* strings[] = {text.c_str()};
    bool error = kind == SystemLogKind::error;
    ReportEventW(event_source, error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
                 error ? TARN_MESSAGE_ERROR : TARN_MESSAGE_INFORMATION, nullptr, 1, 0, strings,
                 nullptr);
}

}  // namespace tarn
