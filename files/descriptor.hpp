// A file descriptor closed when it goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace zub {

struct descriptor {
    int fd = -1;
    explicit descriptor(int opened = -1) : fd(opened) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    descriptor(descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    descriptor& operator=(descriptor&&) = delete;
    ~descriptor() {
        if (fd >= 0) (void)close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

}  // namespace zub
