#pragma once

#if defined(__MINGW32__)
#define TARN_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define TARN_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TARN_PRINTF_FORMAT(f, a)
#endif

namespace tarn {

// Opens the log for appending; a failed open leaves the log closed and still returns 0.
int open_log(const char* path);

// One timestamped line per call; silent while the log is closed. Safe from any thread.
void log_message(const char* format, ...) TARN_PRINTF_FORMAT(1, 2);

}  // namespace tarn
