#include "support/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "support/threads.hpp"

namespace tarn {

namespace {
constexpr size_t line_buffer_size = 1024;

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

// The whole line, newline included, into line; a line too long for it goes to long_line
// instead. Returns the length of the line.
size_t format_line(char (&line)[line_buffer_size], std::string& long_line, const char* format,
                   va_list arguments) {
    char timestamp[32];
    utc_timestamp(timestamp);
    int prefix = std::snprintf(line, sizeof line, "%s [%u]: ", timestamp, current_process_id());
    size_t start = prefix > 0 ? static_cast<size_t>(prefix) : 0;
    va_list copy;
    va_copy(copy, arguments);
    int message = std::vsnprintf(line + start, sizeof line - start, format, arguments);
    size_t end = start + (message > 0 ? static_cast<size_t>(message) : 0);
    if (end + 1 < sizeof line) {
        line[end] = '\n';
    } else {
        long_line.assign(line, start);
        long_line.resize(end + 1);
        std::vsnprintf(&long_line[start], end + 1 - start, format, copy);
        long_line[end] = '\n';
    }
    va_end(copy);
    return end + 1;
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

// The whole line is formatted first and handed to the system in one write: an unbuffered
// stream would otherwise cost a write per piece (on MinGW, per character).
void log_message(const char* format, ...) {
    if (log_file == nullptr) {
        return;
    }
    char line[line_buffer_size];
    std::string long_line;
    va_list arguments;
    va_start(arguments, format);
    size_t length = format_line(line, long_line, format, arguments);
    va_end(arguments);
    mutex_lock(log_mutex);
    std::fwrite(long_line.empty() ? line : long_line.data(), 1, length, log_file);
    mutex_unlock(log_mutex);
}

}  // namespace tarn
