#include "codec/CompressedDepth.h"

#include <cstring>

#include "codec/Rvl.h"
#include "common/ByteOrder.h"

namespace Quorvex {

namespace {

void writeHeader(uint32_t cols, uint32_t rows, uint8_t* out)
{
    // Format 0 and quantisation 0.0f, 0.0f: all-zero bits in IEEE 754.
    std::memset(out, 0, kCompressedDepthConfigBytes);
    storeLe32(out + kCompressedDepthConfigBytes, cols);
    storeLe32(out + kCompressedDepthConfigBytes + 4, rows);
}

} // namespace

size_t encodeCompressedDepth(const float* depthMm, uint32_t cols, uint32_t rows, uint8_t* out)
{
    writeHeader(cols, rows, out);
    return kCompressedDepthHeaderBytes +
           rvlEncodeDepth(depthMm, static_cast<size_t>(cols) * rows, out + kCompressedDepthHeaderBytes);
}

size_t encodeCompressedDepth16(const uint16_t* mm, uint32_t cols, uint32_t rows, uint8_t* out)
{
    writeHeader(cols, rows, out);
    return kCompressedDepthHeaderBytes +
           rvlEncode(mm, static_cast<size_t>(cols) * rows, out + kCompressedDepthHeaderBytes);
}

const char* to_str(CompressedDepthStatus status)
{
    switch (status) {
    case CompressedDepthStatus::OK: return "ok";
    case CompressedDepthStatus::TOO_SHORT: return "shorter than its header";
    case CompressedDepthStatus::NOT_16_BIT: return "not plain 16-bit depth (quantised or of another format)";
    case CompressedDepthStatus::WRONG_SIZE: return "of another image size";
    case CompressedDepthStatus::DAMAGED_STREAM: return "a damaged RVL stream";
    }
    return "?";
}

CompressedDepthStatus readCompressedDepthSize(const uint8_t* in, size_t bytes, uint32_t& cols, uint32_t& rows)
{
    if (bytes < kCompressedDepthHeaderBytes)
        return CompressedDepthStatus::TOO_SHORT;
    // Writers of 16-bit depth leave the two quantisation floats as they
    // happen to be (they apply to float depth only): only the format word,
    // 0, is theirs to check.
    for (size_t i = 0; i < 4; ++i)
        if (in[i] != 0)
            return CompressedDepthStatus::NOT_16_BIT;
    cols = loadLe32(in + kCompressedDepthConfigBytes);
    rows = loadLe32(in + kCompressedDepthConfigBytes + 4);
    return CompressedDepthStatus::OK;
}

CompressedDepthStatus decodeCompressedDepth(const uint8_t* in, size_t bytes, uint32_t cols, uint32_t rows,
                                            float* outMm)
{
    uint32_t c = 0, r = 0;
    const CompressedDepthStatus s = readCompressedDepthSize(in, bytes, c, r);
    if (s != CompressedDepthStatus::OK)
        return s;
    if (c != cols || r != rows)
        return CompressedDepthStatus::WRONG_SIZE;
    if (!rvlDecodeDepth(in + kCompressedDepthHeaderBytes, bytes - kCompressedDepthHeaderBytes, outMm,
                        static_cast<size_t>(cols) * rows))
        return CompressedDepthStatus::DAMAGED_STREAM;
    return CompressedDepthStatus::OK;
}

} // namespace Quorvex
