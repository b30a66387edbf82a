#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "error/error.hpp"
#include "support/file_descriptor_posix.hpp"
#include "support/replace_file.hpp"

namespace tarn {

namespace {

[[noreturn]] void fail(const std::string& call) {
    const int code = errno;
    error::throw_failure<error::UnknownError>(call, code);
}

}  // namespace

void replace_file(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".tmp";
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    // The service's umask would leave it to the agent's account alone.
    if (!file.valid() || ::fchmod(file.get(), 0644) != 0) {
        fail("open(" + temporary + ")");
    }
    for (size_t written = 0; written < contents.size();) {
        const ssize_t wrote =
            ::write(file.get(), contents.data() + written, contents.size() - written);
        if (wrote < 0 && errno != EINTR) {
            fail("write(" + temporary + ")");
        }
        written += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    if (::close(file.release()) != 0) {
        fail("close(" + temporary + ")");
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        fail("rename(" + temporary + ", " + path + ")");
    }
}

}  // namespace tarn
