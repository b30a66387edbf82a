#include "log_capture.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/log.hpp"
#include "support/threads.hpp"

namespace tarn::test {

namespace {
const std::string path = (std::filesystem::temp_directory_path() /
                          ("tarn-tests-" + std::to_string(current_process_id()) + ".log"))
                             .string();
[[maybe_unused]] const int opened = (std::filesystem::remove(path), open_log(path.c_str()));
}  // namespace

std::string LogCapture::text() const {
    std::ifstream in(path, std::ios::binary);
    in.seekg(start);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
        // On Windows the text mode's CR LF, and that of system texts inside messages.
        line.erase(line.find_last_not_of('\r') + 1);
        // "2026-12-05T22:06:45Z [4242]: message"; a line without it continues a message.
        auto marker = line.find("]: ");
        if (!line.empty()) {
            result.push_back(line.size() > 21 && line[21] == '[' && marker != std::string::npos
                                 ? line.substr(marker + 3)
                                 : line);
        }
    }
    return result;
}

bool LogCapture::wait_for(const std::string& wanted, bool prefix) const {
    for (int i = 0; i < 1000; ++i) {
        for (const std::string& line : lines()) {
            if (prefix ? line.rfind(wanted, 0) == 0 : line == wanted) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace tarn::test
