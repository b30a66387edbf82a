#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"
#include "error/error.hpp"

namespace tarn {

SERVICE_STATUS_HANDLE service_status_handle = nullptr;

namespace {

char service_name[] = "";

SERVICE_STATUS service_status(DWORD state, DWORD win32_exit_code, DWORD specific_exit_code) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = win32_exit_code;
    status.dwServiceSpecificExitCode = specific_exit_code;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 10000;
    return status;
}

void report(DWORD state) {
    SERVICE_STATUS status = service_status(state, NO_ERROR, 0);
    SetServiceStatus(service_status_handle, &status);
}

DWORD report_service_status(DWORD current_state, DWORD win32_exit_code,
                            DWORD service_specific_exit_code) {
    SERVICE_STATUS status = service_status(
        current_state,
        service_specific_exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32_exit_code,
        service_specific_exit_code);
    SetServiceStatus(service_status_handle, &status);
    return 0;
}

void WINAPI service_control_handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING);
        event_signal(stop_event);
    }
}

void WINAPI service_main(DWORD, LPSTR*) {
    // Before any control can arrive, so a stop that comes before the run's wait is held.
    create_stop_primitives();
    service_status_handle = RegisterServiceCtrlHandlerA(service_name, service_control_handler);
    if (service_status_handle == nullptr) {
        report_service_status(SERVICE_STOPPED, GetLastError(), 0);
        return;
    }
    report(SERVICE_RUNNING);
    // A failed run says so with a service-specific code, so the service manager's recovery
    // restarts the agent; a stop request ends with 0.
    report_service_status(SERVICE_STOPPED, NO_ERROR, static_cast<DWORD>(run_agent()));
}

// The uncaught dispatcher failure ends the process abnormally and silently: libstdc++'s
// handler would print the exception, and abort() its own message.
[[noreturn]] void end_silently() {
    std::_Exit(3);
}

void handle_stop_signal(int signal_number) {
    if (signal_number == SIGINT || signal_number == SIGTERM) {
        event_signal(stop_event);
    }
}

}  // namespace

void install_stop_handlers() {
    // The runtime puts the default action back after each delivery, so the handler acts once.
    std::signal(SIGTERM, handle_stop_signal);
    std::signal(SIGINT, handle_stop_signal);
}

int run_dispatcher() {
    SERVICE_TABLE_ENTRYA table[] = {{service_name, service_main}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) {
        return 0;
    }
    DWORD code = GetLastError();
    if (code != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        std::set_terminate(end_silently);
        error::throw_failure<error::UnknownError>("StartServiceCtrlDispatcher()", code);
    }
    create_stop_primitives();
    return run_agent();
}

}  // namespace tarn
