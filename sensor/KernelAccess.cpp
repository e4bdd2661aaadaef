#include "KernelAccess.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace Quorvex {

namespace {

class SystemKernel final : public KernelAccess {
public:
    int open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
    ssize_t read(int fd, void* buffer, size_t size) override { return ::read(fd, buffer, size); }
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override
    {
        return ::poll(fds, count, timeoutMs);
    }
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override
    {
        return ::mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void* addr, size_t length) override { return ::munmap(addr, length); }
    int stat(const char* path, struct stat* st) override { return ::stat(path, st); }
    int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
    ssize_t readlink(const char* path, char* buffer, size_t size) override
    {
        return ::readlink(path, buffer, size);
    }
    int listDirectory(const char* path, std::vector<std::string>& names) override
    {
        DIR* dir = ::opendir(path);
        if (!dir)
            return -1;
        names.clear();
        errno = 0;
        while (struct dirent* entry = ::readdir(dir))
            names.emplace_back(entry->d_name);
        const int err = errno;
        ::closedir(dir);
        if (err) {
            errno = err;
            return -1;
        }
        return 0;
    }
};

SystemKernel systemKernel;
std::atomic<KernelAccess*> current{&systemKernel};

} // namespace

KernelAccess& kernel()
{
    return *current.load(std::memory_order_acquire);
}

KernelAccess* installKernel(KernelAccess* k)
{
    KernelAccess* previous = current.exchange(k ? k : &systemKernel, std::memory_order_acq_rel);
    return previous == &systemKernel ? nullptr : previous;
}

ssize_t readFileLine(const char* path, char* buffer, size_t size)
{
    if (size == 0)
        return -1;
    KernelAccess& k = kernel();
    const int fd = k.open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    size_t used = 0;
    bool failed = false;
    // Byte by byte: these are short sysfs/procfs files, and a line must not
    // consume what follows it.
    while (used + 1 < size) {
        char c;
        const ssize_t n = k.read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0)
            break;
        buffer[used++] = c;
        if (c == '\n')
            break;
    }
    k.close(fd);
    buffer[used] = '\0';
    if (failed || used == 0)
        return failed ? -1 : 0;
    return static_cast<ssize_t>(used);
}

} // namespace Quorvex
