#pragma once

// The platform's own log, where administrators look first whether or not the agent's log file
// is on: the Windows Event Log (source "sabrel-agent" in Application), standard error elsewhere
// (the console, or the journal under systemd).
namespace tarn {

enum class SystemLogKind { information, error };

// False when the system log cannot be reached; the agent then runs without it.
bool system_log_open();
// One message, as the log line's message part; results ignored.
void system_log_write(SystemLogKind kind, const char* message);

}  // namespace tarn
