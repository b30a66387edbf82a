#include "log_capture.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/log.hpp"
#include "support/threads.hpp"

namespace tarn::test {

namespace {
std::string path_of_log;

long long file_size(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<long long>(size);
}
}  // namespace

void open_test_log() {
    path_of_log = (std::filesystem::temp_directory_path() /
                   ("tarn-tests-" + std::to_string(current_process_id()) + ".log"))
                      .string();
    std::remove(path_of_log.c_str());
    open_log(path_of_log.c_str());
}

const std::string& test_log_path() {
    return path_of_log;
}

LogCapture::LogCapture() : start(file_size(path_of_log)) {}

std::string LogCapture::text() const {
    std::ifstream in(path_of_log, std::ios::binary);
    in.seekg(start);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(text());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // "2026-12-05T22:06:45Z [4242]: message"
        auto marker = line.find("]: ");
        if (line.size() > 21 && line[20] == ' ' && line[21] == '[' && marker != std::string::npos) {
            result.push_back(line.substr(marker + 3));
        } else {
            result.push_back(line);  // continuation of a message that held a newline
        }
    }
    return result;
}

}  // namespace tarn::test
