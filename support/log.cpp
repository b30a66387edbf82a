#include "support/log.hpp"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "support/report_bound.hpp"
#include "support/system_log.hpp"
#include "support/threads.hpp"

namespace tarn {

namespace {
constexpr size_t line_buffer_size = 1024;
// Lines before the log opens are the configuration's: a few, unless a file is hostile.
constexpr size_t early_lines_limit = 64 * 1024;
constexpr uint32_t system_errors_per_window = 10;
constexpr uint64_t system_log_window_seconds = 60;
constexpr char error_prefix[] = "ERROR - ";

std::FILE* log_file = nullptr;
Mutex log_mutex = nullptr;
// Touched by the run sequence alone, before any other thread logs.
bool holding_early_lines = true;
std::string early_lines;

bool system_log_on = false;
Mutex system_log_mutex = nullptr;
ReportBound system_log_bound(system_errors_per_window, system_log_window_seconds);

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

// A formatted line, newline included: in place when it fits, else in long_line.
struct Line {
    char text[line_buffer_size];
    std::string long_line;
    size_t length = 0;
    size_t message_start = 0;

    const char* data() const { return long_line.empty() ? text : long_line.data(); }
    // The message alone, without the newline; the newline is cut for the call.
    const char* message() {
        char* start = (long_line.empty() ? text : &long_line[0]) + message_start;
        start[length - 1 - message_start] = '\0';
        return start;
    }
    void restore_newline() { (long_line.empty() ? text : &long_line[0])[length - 1] = '\n'; }
};

void format_line(Line& line, const char* format, va_list arguments) {
    char timestamp[32];
    utc_timestamp(timestamp);
    int prefix =
        std::snprintf(line.text, sizeof line.text, "%s [%u]: ", timestamp, current_process_id());
    size_t start = prefix > 0 ? static_cast<size_t>(prefix) : 0;
    va_list copy;
    va_copy(copy, arguments);
    int message = std::vsnprintf(line.text + start, sizeof line.text - start, format, arguments);
    size_t end = start + (message > 0 ? static_cast<size_t>(message) : 0);
    if (end + 1 < sizeof line.text) {
        line.text[end] = '\n';
    } else {
        line.long_line.assign(line.text, start);
        line.long_line.resize(end + 1);
        std::vsnprintf(&line.long_line[start], end + 1 - start, format, copy);
        line.long_line[end] = '\n';
    }
    va_end(copy);
    line.length = end + 1;
    line.message_start = start;
}

uint64_t steady_seconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void say_left_out(uint64_t count) {
    if (count == 0) {
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "ERROR - %llu more error lines were not reported here (at most %u a minute)",
                  static_cast<unsigned long long>(count), system_errors_per_window);
    system_log_write(SystemLogKind::error, text);
}

void report_to_system_log(SystemLogKind kind, const char* message) {
    mutex_lock(system_log_mutex);
    uint64_t left_out = 0;
    bool admitted = true;
    if (kind == SystemLogKind::error) {
        admitted = system_log_bound.admit(steady_seconds(), left_out);
    } else {
        left_out = system_log_bound.take_left_out();
    }
    say_left_out(left_out);
    if (admitted) {
        system_log_write(kind, message);
    }
    mutex_unlock(system_log_mutex);
}

// The whole line is handed to the system in one write: an unbuffered stream would otherwise
// cost a write per piece (on MinGW, per character).
void write_line(Line& line, bool notice) {
    if (system_log_on) {
        const char* message = line.message();
        bool error = std::strncmp(message, error_prefix, sizeof error_prefix - 1) == 0;
        if (error || notice) {
            report_to_system_log(error ? SystemLogKind::error : SystemLogKind::information,
                                 message);
        }
        line.restore_newline();
    }
    if (log_file != nullptr) {
        mutex_lock(log_mutex);
        std::fwrite(line.data(), 1, line.length, log_file);
        mutex_unlock(log_mutex);
    } else if (holding_early_lines && early_lines.size() + line.length <= early_lines_limit) {
        early_lines.append(line.data(), line.length);
    }
}

void log_line(bool notice, const char* format, va_list arguments) {
    if (log_file == nullptr && !holding_early_lines && !system_log_on) {
        return;
    }
    Line line;
    format_line(line, format, arguments);
    write_line(line, notice);
}

}  // namespace

int open_log(const char* path) {
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        return 0;
    }
    std::setbuf(file, nullptr);
    std::fwrite(early_lines.data(), 1, early_lines.size(), file);
    log_file = file;
    return mutex_create(&log_mutex);
}

void end_early_lines() {
    holding_early_lines = false;
    std::string().swap(early_lines);
}

void open_system_log() {
    if (!system_log_on && system_log_open()) {
        mutex_create(&system_log_mutex);
        system_log_on = true;
    }
}

void log_message(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    log_line(false, format, arguments);
    va_end(arguments);
}

void log_notice(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    log_line(true, format, arguments);
    va_end(arguments);
}

}  // namespace tarn
