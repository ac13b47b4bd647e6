#pragma once
// An owned file descriptor: closed when the owner goes, moved but never
// copied. The library's sockets and files use it, and so may the application.

#include <unistd.h>

#include <utility>

namespace iec61850 {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership; the caller closes the descriptor.
    int release() { return std::exchange(fd_, -1); }
    // Closes the owned descriptor (if any) and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace iec61850
