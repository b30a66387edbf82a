// The installer's own actions, in a DLL the package carries: Windows Installer hands them the
// properties through MsiGetProperty, so TARGETS and LOGGING never meet a command line or a
// command interpreter, whatever bytes they hold.
//   CheckProperties (immediate, before anything is installed): TARGETS and LOGGING are checked,
//     and a first install without TARGETS and without a staged agent.conf is refused.
//   WriteConfiguration (deferred, LocalSystem): agent.conf from them, unless one exists; either
//     way the file ends readable and writable only by SYSTEM and Administrators.
//   WaitForServiceRemoval, StopEtwSession (deferred, at uninstall): see the package.
#include <windows.h>

#include <evntrace.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "config/target_address.hpp"
#include "installer/permissions.hpp"

namespace {

constexpr wchar_t configuration_name[] = L"agent.conf";
using tarn::installer::configuration_sddl;
constexpr wchar_t session_name[] = L"sabrel-agent";
constexpr wchar_t service_name[] = L"sabrel-agent";
constexpr int removal_wait_seconds = 30;
// What the deferred action is given: INSTALLDIR, TARGETS and LOGGING, separated by a character
// that can appear in none of them.
constexpr wchar_t data_separator = L'|';

std::wstring property(MSIHANDLE install, const wchar_t* name) {
    wchar_t empty[1] = L"";
    DWORD length = 0;
    UINT result = MsiGetPropertyW(install, name, empty, &length);
    if (result != ERROR_MORE_DATA && result != ERROR_SUCCESS) {
        return L"";
    }
    std::wstring value(length + 1, L'\0');
    length = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, &value[0], &length) != ERROR_SUCCESS) {
        return L"";
    }
    value.resize(length);
    return value;
}

// Into the installation's log, and shown as an error when the installation has a user interface.
// The text goes in a field of its own so that brackets in it are never formatted.
void say(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, (L"sabrel-agent: " + text).c_str());
    MsiProcessMessage(install, kind, record);
}

UINT refuse(MSIHANDLE install, const std::wstring& text) {
    say(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), text);
    return ERROR_INSTALL_FAILURE;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring system_text(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = text != nullptr ? text : L"error " + std::to_wstring(code);
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) {
        result.pop_back();
    }
    return result;
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// Empty when TARGETS and LOGGING are good, else the property and the item at fault.
std::wstring problem(const std::wstring& targets, const std::wstring& logging) {
    if (!logging.empty() && logging != L"on") {
        return L"LOGGING \"" + logging + L"\" is not taken: give LOGGING=on or leave it out";
    }
    if (targets.empty()) {
        return L"";
    }
    for (const std::wstring& item : split(targets, L';')) {
        std::string narrow;
        for (wchar_t unit : item) {
            narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        std::string why = tarn::config::target_item_problem(narrow);
        if (!why.empty()) {
            return L"TARGETS item \"" + item + L"\" is not taken: " + wide(why) +
                   L" (each item address[:port][ timeout], items separated by semicolons)";
        }
    }
    return L"";
}

std::wstring in_directory(std::wstring directory, const wchar_t* name) {
    if (!directory.empty() && directory.back() != L'\\') {
        directory += L'\\';
    }
    return directory + name;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class SecurityDescriptor {
  public:
    explicit SecurityDescriptor(const wchar_t* sddl) {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                             nullptr);
    }
    ~SecurityDescriptor() { LocalFree(descriptor); }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return descriptor; }

  private:
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

std::string configuration_text(const std::wstring& targets, const std::wstring& logging) {
    std::string text =
        "# sabrel-agent configuration: one key and value per line (see the README)\r\n";
    if (!targets.empty()) {
        for (const std::wstring& item : split(targets, L';')) {
            text += "target " + std::string(item.begin(), item.end()) + "\r\n";
        }
    }
    if (logging == L"on") {
        text += "logging on\r\n";
    }
    return text;
}

// Writes path unless it exists; then, new or not, gives it the configuration's descriptor.
// 0 or the system's error code.
DWORD write_configuration(const std::wstring& path, const std::string& text) {
    SecurityDescriptor descriptor(configuration_sddl);
    if (descriptor.get() == nullptr) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        BOOL wrote =
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        DWORD code = wrote && written == text.size() ? 0 : GetLastError();
        CloseHandle(file);
        return code;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
        return GetLastError();
    }
    // One left by an earlier version inherited the folder's permissions: every user could read it.
    return SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get())
               ? 0
               : GetLastError();
}

bool service_present() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS);
    bool present = service != nullptr;
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return present;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckProperties(MSIHANDLE install) {
    std::wstring targets = property(install, L"TARGETS");
    std::wstring why = problem(targets, property(install, L"LOGGING"));
    if (!why.empty()) {
        return refuse(install, why);
    }
    std::wstring path = in_directory(property(install, L"INSTALLDIR"), configuration_name);
    if (targets.empty() && !exists(path)) {
        return refuse(install, L"TARGETS is required: no " + path +
                                   L" is in place, so give the collectors, for example "
                                   L"TARGETS=\"10.1.2.3:8100;10.1.2.4:8100 30\"");
    }
    say(install, INSTALLMESSAGE_INFO,
        exists(path) ? L"keeping " + path + L" as it is" : L"TARGETS and LOGGING are good");
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall WriteConfiguration(MSIHANDLE install) {
    std::vector<std::wstring> data = split(property(install, L"CustomActionData"), data_separator);
    if (data.size() != 3) {
        return refuse(install, L"WriteConfiguration was given no INSTALLDIR|TARGETS|LOGGING");
    }
    const std::wstring &targets = data[1], &logging = data[2];
    std::wstring why = problem(targets, logging);
    if (!why.empty()) {
        return refuse(install, why);
    }
    std::wstring path = in_directory(data[0], configuration_name);
    if (DWORD code = write_configuration(path, configuration_text(targets, logging))) {
        return refuse(install, L"cannot write " + path + L": " + system_text(code));
    }
    say(install, INSTALLMESSAGE_INFO, path + L" is in place, for SYSTEM and Administrators only");
    return ERROR_SUCCESS;
}

// Some installers (Wine's) do not wait for the deleted service to stop: its agent.exe would
// run on, and stay, when the file is removed.
extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceRemoval(MSIHANDLE install) {
    for (int second = 0; second < removal_wait_seconds && service_present(); ++second) {
        Sleep(1000);
    }
    say(install, INSTALLMESSAGE_INFO,
        service_present() ? L"the service is still there after 30 s" : L"the service is gone");
    return ERROR_SUCCESS;
}

// The agent leaves its ETW session running by design; none stays once the agent is gone, and
// an upgraded agent makes a session of its own settings.
extern "C" __declspec(dllexport) UINT __stdcall StopEtwSession(MSIHANDLE install) {
    std::vector<unsigned char> buffer(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024 * sizeof(wchar_t));
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(buffer.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(buffer.size());
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    properties->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + 1024 * sizeof(wchar_t);
    ULONG code = ControlTraceW(0, session_name, properties, EVENT_TRACE_CONTROL_STOP);
    say(install, INSTALLMESSAGE_INFO,
        code == ERROR_SUCCESS ? L"ETW session sabrel-agent stopped"
                              : L"ETW session sabrel-agent not stopped: " + system_text(code));
    return ERROR_SUCCESS;
}
