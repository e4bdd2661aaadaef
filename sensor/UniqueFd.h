#pragma once

#include <cstddef>
#include <sys/types.h>

namespace Quorvex {

// Move-only owner of a descriptor opened through kernel(); closes it through
// the same layer. -1 means empty.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    // Hands the descriptor over; the owner becomes empty.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the current descriptor (if any) and takes `fd`.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Reads one line from `fd` as fgets does: at most `size` - 1 bytes, stopping
// after a newline (kept) or at the end of the file; NUL-terminated. Returns
// the number of bytes stored (0 at the end of the file), or -1 on a read
// error.
ssize_t readLine(int fd, char* buffer, size_t size);

} // namespace Quorvex
