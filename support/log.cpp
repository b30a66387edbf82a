#include "support/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "support/threads.hpp"

namespace tarn {

namespace {
std::FILE* log_file = nullptr;
Mutex log_mutex = nullptr;

void utc_timestamp(char (&buffer)[32]) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
}
}  // namespace

int open_log(const char* path) {
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        return 0;
    }
    std::setbuf(file, nullptr);
    log_file = file;
    return mutex_create(&log_mutex);
}

void log_message(const char* format, ...) {
    if (log_file == nullptr) {
        return;
    }
    char timestamp[32];
    utc_timestamp(timestamp);
    mutex_lock(log_mutex);
    std::fprintf(log_file, "%s [%u]: ", timestamp, current_process_id());
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log_file, format, arguments);
    va_end(arguments);
    std::fputc('\n', log_file);
    mutex_unlock(log_mutex);
}

}  // namespace tarn
