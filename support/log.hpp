#pragma once

#if defined(__MINGW32__)
#define TARN_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define TARN_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TARN_PRINTF_FORMAT(f, a)
#endif

namespace tarn {

// Opens the log for appending and writes first the lines held since start; a failed open
// leaves the log closed and still returns 0.
int open_log(const char* path);

// The run sequence has decided on its log: lines held so far are let go (open_log wrote them),
// and from now on a closed log is silent. Call before any other thread logs.
void end_early_lines();

// From now on every "ERROR - " line, and every notice, also goes to the system log (the Windows
// Event Log, standard error elsewhere), at most a few error lines a minute. Call before any
// other thread logs.
void open_system_log();

// One timestamped line per call; held until end_early_lines while the log is not open, silent
// after it. Safe from any thread.
void log_message(const char* format, ...) TARN_PRINTF_FORMAT(1, 2);

// A line that also goes to the system log as information: the agent's start and stop.
void log_notice(const char* format, ...) TARN_PRINTF_FORMAT(1, 2);

}  // namespace tarn
