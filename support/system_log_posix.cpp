#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/system_log.hpp"

namespace tarn {

namespace {
// systemd connects standard error to the journal and says so in JOURNAL_STREAM; there a "<N>"
// before the line sets its priority (3 error, 6 information), elsewhere it would be noise.
bool journal = false;
}  // namespace

bool system_log_open() {
    journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return true;
}

void system_log_write(SystemLogKind kind, const char* message) {
    std::string line = journal ? (kind == SystemLogKind::error ? "<3>" : "<6>") : "";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace tarn
