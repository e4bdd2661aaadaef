#include "tests/support/FakeFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>

namespace Quorvex::test {

int FakeFiles::open(const char* path, int)
{
    if (!files.count(path)) {
        errno = ENOENT;
        return -1;
    }
    const int fd = nextFd++;
    open_[fd] = {path, 0};
    return fd;
}

int FakeFiles::close(int fd)
{
    if (!open_.erase(fd)) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FakeFiles::ioctl(int, unsigned long, void*)
{
    errno = ENOENT;
    return -1;
}

ssize_t FakeFiles::read(int fd, void* buffer, size_t size)
{
    auto it = open_.find(fd);
    if (it == open_.end()) {
        errno = EBADF;
        return -1;
    }
    if (failingReads.count(it->second.path)) {
        errno = EIO;
        return -1;
    }
    const std::string& content = files[it->second.path];
    const size_t n = std::min(size, content.size() - std::min(content.size(), it->second.offset));
    std::memcpy(buffer, content.data() + it->second.offset, n);
    it->second.offset += n;
    return static_cast<ssize_t>(n);
}

int FakeFiles::poll(struct pollfd*, nfds_t, int)
{
    errno = ENOENT;
    return -1;
}

void* FakeFiles::mmap(void*, size_t, int, int, int, off_t)
{
    errno = ENOENT;
    return MAP_FAILED;
}

int FakeFiles::munmap(void*, size_t)
{
    errno = ENOENT;
    return -1;
}

int FakeFiles::stat(const char*, struct stat*)
{
    errno = ENOENT;
    return -1;
}

int FakeFiles::fstat(int, struct stat*)
{
    errno = ENOENT;
    return -1;
}

ssize_t FakeFiles::readlink(const char*, char*, size_t)
{
    errno = ENOENT;
    return -1;
}

int FakeFiles::listDirectory(const char*, std::vector<std::string>&)
{
    errno = ENOENT;
    return -1;
}

} // namespace Quorvex::test
