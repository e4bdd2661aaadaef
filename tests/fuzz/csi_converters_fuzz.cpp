// The CSI converters over arbitrary buffers, widths, positions and frame
// sizes: any read outside the buffer or write outside the frame is a
// sanitizer report.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sensor/CsiConverters.h"

using namespace Quorvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    // Header: converter, width (16 bits), frame capacity (16 bits, scaled),
    // start position (16 bits).
    const unsigned which = data[0] & 3;
    const uint32_t width = static_cast<uint32_t>(data[1] | (data[2] << 8));
    const size_t capacity = static_cast<size_t>(data[3] | (data[4] << 8)) * 3;
    size_t p = static_cast<size_t>(data[5] | (data[6] << 8));
    const size_t length = size - 7;
    // Exactly-sized copies, so the sanitizer sees the real bounds.
    std::vector<uint8_t> src(data + 7, data + size);
    std::vector<uint8_t> dst(capacity);
    static const CsiConverter converters[] = {copyPlain, copyStride512, copyBlock960, unpackY12P};
    converters[which](src.data(), dst.data(), length, width, p, capacity);
    const size_t limit = which == 3 ? capacity / 2 : capacity;
    const size_t start = static_cast<size_t>(data[5] | (data[6] << 8));
    if (p > limit && p != start)
        __builtin_trap();
    return 0;
}
