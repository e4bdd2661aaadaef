#pragma once

#include <map>
#include <string>

#include "sensor/KernelAccess.h"

namespace Quorvex::test {

// A kernel that knows only a few regular files: opening and reading a path
// in `files` works, everything else fails with ENOENT (or EBADF for an
// unknown descriptor). Paths listed in `failingReads` open but fail every
// read with EIO.
class FakeFiles final : public KernelAccess {
public:
    std::map<std::string, std::string> files;
    std::map<std::string, bool> failingReads;

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buffer, size_t size) override;
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int stat(const char* path, struct stat* st) override;
    int fstat(int fd, struct stat* st) override;
    ssize_t readlink(const char* path, char* buffer, size_t size) override;
    int listDirectory(const char* path, std::vector<std::string>& names) override;

    // Descriptors still open; a leak shows up here.
    size_t openCount() const { return open_.size(); }

private:
    struct OpenFile {
        std::string path;
        size_t offset;
    };
    std::map<int, OpenFile> open_;
    int nextFd = 100;
};

using ScopedKernel = Quorvex::ScopedKernel;

} // namespace Quorvex::test
