#pragma once

#include <cstddef>

namespace Quorvex {

// Owner of a read-only shared mapping of the module's calibration file. The
// depth library is handed the mapped bytes themselves, so a mapping must
// outlive every use the library instance makes of it; moving transfers it,
// destruction or reset() unmaps it.
class Calibration {
public:
    Calibration() = default;
    ~Calibration();
    Calibration(Calibration&& other) noexcept;
    Calibration& operator=(Calibration&& other) noexcept;
    Calibration(const Calibration&) = delete;
    Calibration& operator=(const Calibration&) = delete;

    // Maps the whole of `path` (relative names resolve against the current
    // directory). A missing, empty, non-regular or unmappable file yields an
    // empty Calibration: the library then runs without one. No descriptor is
    // kept: the mapping stays valid after its file is closed.
    static Calibration load(const char* path = "cali.bin");

    bool empty() const { return data_ == nullptr; }
    const void* data() const { return data_; }
    size_t size() const { return size_; }

    // Unmaps now.
    void reset();
    // Forgets the mapping without unmapping it, for bytes that a library
    // instance which is never destroyed may still read.
    void abandon();

private:
    Calibration(void* data, size_t size) : data_(data), size_(size) {}

    void* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace Quorvex
