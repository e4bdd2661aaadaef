#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace Quorvex {

// The one seam between the library and the kernel. Every open, ioctl, poll,
// mapping, status query, link read and directory listing of a device node or
// of a file under /sys, /proc or the device tree goes through kernel().
// Calls behave like the system calls they are named after: -1 (or
// MAP_FAILED) with errno set on failure. The default forwards to the real
// system; tests and simulations install a model of their own.
class KernelAccess {
public:
    virtual ~KernelAccess() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
    virtual int poll(struct pollfd* fds, nfds_t count, int timeoutMs) = 0;
    virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* addr, size_t length) = 0;
    virtual int stat(const char* path, struct stat* st) = 0;
    virtual int fstat(int fd, struct stat* st) = 0;
    virtual ssize_t readlink(const char* path, char* buffer, size_t size) = 0;
    // Entry names of a directory in the order the file system gives them
    // (unsorted), "." and ".." included when the system lists them.
    // Returns 0, or -1 with errno set.
    virtual int listDirectory(const char* path, std::vector<std::string>& names) = 0;
};

// The layer in force.
KernelAccess& kernel();

// Installs `k` (not owned) and returns the previous layer; null restores the
// real system. Not to be called while a camera is streaming.
KernelAccess* installKernel(KernelAccess* k);

// Installs a layer for the lifetime of the guard and puts the previous one
// back afterwards (tests, simulations).
class ScopedKernel {
public:
    explicit ScopedKernel(KernelAccess& k) : previous(installKernel(&k)) {}
    ~ScopedKernel() { installKernel(previous); }
    ScopedKernel(const ScopedKernel&) = delete;
    ScopedKernel& operator=(const ScopedKernel&) = delete;

private:
    KernelAccess* previous;
};

// Reads one line of at most `size` - 1 bytes from a file through the layer,
// stopping after a newline (kept) or at the end of the file; the result is
// NUL-terminated. Returns the number of bytes stored, or -1 if the file
// cannot be opened or read.
ssize_t readFileLine(const char* path, char* buffer, size_t size);

} // namespace Quorvex
