#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tarn {

// Owns one POSIX file descriptor and closes it exactly once.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    int release() {
        int value = fd;
        fd = -1;
        return value;
    }
    void reset(int value = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = value;
    }

  private:
    int fd = -1;
};

// Writes all size bytes, again after an interrupted call. False when a write fails (errno says
// why) or takes nothing (errno is then 0).
inline bool write_all(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = 0;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace tarn
