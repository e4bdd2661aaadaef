#include "device/Calibration.h"

#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Quorvex {

namespace {

// Closes the file once the mapping is made (or has failed).
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

Calibration::~Calibration()
{
    reset();
}

Calibration::Calibration(Calibration&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

Calibration& Calibration::operator=(Calibration&& other) noexcept
{
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

// "cali.bin" is an ordinary file of the working directory, not a device or
// kernel file, so it is read with the plain system calls and never goes
// through the simulated kernel.
Calibration Calibration::load(const char* path)
{
    FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return Calibration();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return Calibration();
    // A file larger than the address space (32-bit boards) cannot be mapped.
    if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<size_t>::max())
        return Calibration();
    const size_t size = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        return Calibration();
    return Calibration(p, size);
}

void Calibration::reset()
{
    if (data_)
        ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

void Calibration::abandon()
{
    data_ = nullptr;
    size_ = 0;
}

} // namespace Quorvex
