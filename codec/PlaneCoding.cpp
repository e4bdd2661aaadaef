#include "codec/PlaneCoding.h"

namespace Quorvex {

namespace {

inline uint32_t predict(uint32_t left, uint32_t up) { return (left + up) >> 1; }

inline uint16_t zigzag16(uint32_t value, uint32_t prediction)
{
    const auto d = static_cast<int16_t>(static_cast<uint16_t>(value - prediction));
    return static_cast<uint16_t>(static_cast<uint16_t>(d) << 1 ^ static_cast<uint16_t>(d >> 15));
}

inline uint16_t unzigzag16(uint16_t z, uint32_t prediction)
{
    const uint16_t d = static_cast<uint16_t>((z >> 1) ^ (0u - (z & 1u)));
    return static_cast<uint16_t>(prediction + d);
}

// The prediction of pixel (x, y) from already coded values `at(x, y)`.
template <typename At>
inline uint32_t predictionAt(At at, size_t x, size_t y)
{
    if (y == 0)
        return x == 0 ? 0u : at(x - 1, 0);
    if (x == 0)
        return at(0, y - 1);
    return predict(at(x - 1, y), at(x, y - 1));
}

template <typename At>
void encode(At at, size_t cols, size_t rows, uint8_t* out)
{
    const size_t n = cols * rows;
    uint8_t* low = out;
    uint8_t* high = out + n;
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < cols; ++x) {
            const uint16_t z = zigzag16(at(x, y), predictionAt(at, x, y));
            const size_t i = y * cols + x;
            low[i] = static_cast<uint8_t>(z);
            high[i] = static_cast<uint8_t>(z >> 8);
        }
    }
}

template <typename T>
void decode(const uint8_t* in, size_t cols, size_t rows, T* plane)
{
    const size_t n = cols * rows;
    const uint8_t* low = in;
    const uint8_t* high = in + n;
    auto at = [plane, cols](size_t x, size_t y) { return static_cast<uint32_t>(plane[y * cols + x]); };
    for (size_t y = 0; y < rows; ++y) {
        for (size_t x = 0; x < cols; ++x) {
            const size_t i = y * cols + x;
            const auto z = static_cast<uint16_t>(low[i] | high[i] << 8);
            plane[i] = static_cast<T>(unzigzag16(z, predictionAt(at, x, y)));
        }
    }
}

} // namespace

void encodePlaneResidual(const float* plane, size_t cols, size_t rows, uint8_t* out)
{
    encode([plane, cols](size_t x, size_t y) { return static_cast<uint32_t>(planeValue16(plane[y * cols + x])); },
           cols, rows, out);
}

void encodePlaneResidual16(const uint16_t* plane, size_t cols, size_t rows, uint8_t* out)
{
    encode([plane, cols](size_t x, size_t y) { return static_cast<uint32_t>(plane[y * cols + x]); }, cols, rows,
           out);
}

void decodePlaneResidual(const uint8_t* in, size_t cols, size_t rows, float* plane)
{
    decode(in, cols, rows, plane);
}

void decodePlaneResidual16(const uint8_t* in, size_t cols, size_t rows, uint16_t* plane)
{
    decode(in, cols, rows, plane);
}

} // namespace Quorvex
