#pragma once

#include <unistd.h>

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

}  // namespace tarn
