#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// Amplitude, confidence and raw planes as 16-bit values, made ready for a
// general-purpose coder: each value is replaced by its difference to the
// mean of its left and upper neighbours (left only on the first row, upper
// only in the first column), modulo 2^16 and zig-zag mapped, so that small
// differences of either sign become small numbers; then all low bytes are
// written before all high bytes, which leaves the coder long runs of the
// mostly-zero high bytes. The transform is its own exact inverse: no
// information is lost beyond the rounding to 16 bits.

// Float plane values to 16 bits: rounded to nearest (ties to even); NaN and
// values below 0 become 0, values above 65535 become 65535.
inline uint16_t planeValue16(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (!(v < 65535.0f))
        return 65535;
    constexpr float kRound = 8388608.0f; // adding and taking away 2^23 rounds
    return static_cast<uint16_t>((v + kRound) - kRound);
}

// Writes 2 * cols * rows bytes.
void encodePlaneResidual(const float* plane, size_t cols, size_t rows, uint8_t* out);
void encodePlaneResidual16(const uint16_t* plane, size_t cols, size_t rows, uint8_t* out);

// Reads 2 * cols * rows bytes.
void decodePlaneResidual(const uint8_t* in, size_t cols, size_t rows, float* plane);
void decodePlaneResidual16(const uint8_t* in, size_t cols, size_t rows, uint16_t* plane);

} // namespace Quorvex
