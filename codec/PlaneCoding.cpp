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

// One pass with the left neighbour carried along: each value is read (and
// rounded) once as itself and once as the upper neighbour of the next row.
template <typename Value>
void encode(Value value, size_t cols, size_t rows, uint8_t* out)
{
    // A plane without columns still has rows: each row's first value is
    // read below, so there is nothing to read at all.
    if (cols == 0 || rows == 0)
        return;
    const size_t n = cols * rows;
    uint8_t* low = out;
    uint8_t* high = out + n;
    auto put = [low, high](size_t i, uint16_t z) {
        low[i] = static_cast<uint8_t>(z);
        high[i] = static_cast<uint8_t>(z >> 8);
    };
    for (size_t y = 0; y < rows; ++y) {
        const size_t row = y * cols;
        uint32_t left = y == 0 ? 0u : value(row - cols);
        uint32_t current = value(row);
        put(row, zigzag16(current, left));
        for (size_t x = 1; x < cols; ++x) {
            left = current;
            current = value(row + x);
            put(row + x, zigzag16(current, y == 0 ? left : predict(left, value(row + x - cols))));
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
    encode([plane](size_t i) { return static_cast<uint32_t>(planeValue16(plane[i])); }, cols, rows, out);
}

void encodePlaneResidual16(const uint16_t* plane, size_t cols, size_t rows, uint8_t* out)
{
    encode([plane](size_t i) { return static_cast<uint32_t>(plane[i]); }, cols, rows, out);
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
