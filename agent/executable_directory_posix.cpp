#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"
#include "error/error.hpp"

namespace tarn {

namespace {
struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
}  // namespace

std::string executable_directory() {
    const char* link = "/proc/self/exe";
    std::unique_ptr<char, FreeDeleter> path(realpath(link, nullptr));
    if (!path) {
        int code = errno;
        error::throw_failure<error::UnknownError>(std::string("realpath(") + link + ")", code);
    }
    std::string directory = directory_part(path.get(), '/');
    // An executable in the root directory: "" would name no directory at all.
    return directory.empty() ? "/" : directory;
}

int change_directory(const char* path) {
    return chdir(path) == 0 ? 0 : -1;
}

}  // namespace tarn
