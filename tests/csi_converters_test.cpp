// The CSI converters on their own: byte mappings, and the promise that they
// read nothing at or beyond a buffer's length and write nothing beyond the
// frame, whatever the lengths. Buffers are allocated at exactly the sizes
// under test, so a stray access is caught under ASan.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sensor/CsiConverters.h"

using namespace Quorvex;

namespace {

constexpr uint32_t W = 240;
constexpr uint32_t H = 180;
constexpr size_t kSubFrameBytes = W * H * 2;

std::vector<uint8_t> counting(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return v;
}

uint16_t wordAt(const std::vector<uint8_t>& v, size_t sample)
{
    return static_cast<uint16_t>(v[2 * sample] | (v[2 * sample + 1] << 8));
}

// Packs 12-bit samples as the Pi 5 receiver does: pairs in three bytes,
// lines padded to 16 bytes with `pad` bytes.
std::vector<uint8_t> packY12P(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
                              uint8_t pad, size_t totalBytes)
{
    const size_t stride = (width * 3 / 2 + 15) / 16 * 16;
    std::vector<uint8_t> out(totalBytes, pad);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; x += 2) {
            const uint16_t a = samples[y * width + x], b = samples[y * width + x + 1];
            uint8_t* g = &out[y * stride + x / 2 * 3];
            g[0] = static_cast<uint8_t>(a >> 4);
            g[1] = static_cast<uint8_t>(b >> 4);
            g[2] = static_cast<uint8_t>((a & 0xF) | ((b & 0xF) << 4));
        }
    return out;
}

} // namespace

TEST(CsiConverters, Y12PFirstSamplesAndLineGeometry)
{
    EXPECT_EQ(y12pLineBytes(240), 360u);
    EXPECT_EQ(y12pLineStride(240), 368u);
    std::vector<uint8_t> src(368 * 2, 0);
    src[0] = 0xAB;
    src[1] = 0xCD;
    src[2] = 0xEF;
    std::vector<uint8_t> dst(W * 2 * 2);
    size_t p = 0;
    unpackY12P(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(wordAt(dst, 0), 0xABF);
    EXPECT_EQ(wordAt(dst, 1), 0xCDE);
    EXPECT_EQ(p, 2 * W);
}

TEST(CsiConverters, Y12PConvertsTheWholeSubFrameAndSkipsLinePadding)
{
    std::vector<uint16_t> samples(W * H);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>((i * 37 + 5) & 0x0FFF);
    // Exactly the image (the last samples sit right at the end), and the
    // same image in a page-rounded buffer whose tail is garbage.
    for (size_t total : {size_t{368 * H}, size_t{69632}}) {
        SCOPED_TRACE(total);
        const std::vector<uint8_t> src = packY12P(samples, W, H, 0xFF, total);
        std::vector<uint8_t> dst(kSubFrameBytes);
        size_t p = 0;
        unpackY12P(src.data(), dst.data(), src.size(), W, p, dst.size());
        EXPECT_EQ(p, W * H);
        for (size_t i = 0; i < samples.size(); ++i)
            ASSERT_EQ(wordAt(dst, i), samples[i]) << "sample " << i;
    }
}

TEST(CsiConverters, Y12PSecondSubFrameContinuesAtItsPosition)
{
    std::vector<uint16_t> samples(W * H, 0x123);
    const std::vector<uint8_t> src = packY12P(samples, W, H, 0, 368 * H);
    std::vector<uint8_t> dst(2 * kSubFrameBytes, 0);
    size_t p = W * H;
    unpackY12P(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(p, 2 * W * H);
    EXPECT_EQ(wordAt(dst, 0), 0);
    EXPECT_EQ(wordAt(dst, W * H), 0x123);
    EXPECT_EQ(wordAt(dst, 2 * W * H - 1), 0x123);
}

TEST(CsiConverters, Block960KeepsItsByteMapping)
{
    const std::vector<uint8_t> src = counting(2 * 960);
    std::vector<uint8_t> dst(2 * 960);
    size_t p = 0;
    copyBlock960(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(p, 2 * 960u);
    for (size_t block = 0; block < 2; ++block) {
        const size_t b = block * 960;
        for (size_t i = 0; i < 448; ++i)
            ASSERT_EQ(dst[b + i], src[b + i]) << i;
        for (size_t i = 0; i < 32; ++i)
            ASSERT_EQ(dst[b + 448 + i], src[b + 896 + i]) << i;
        for (size_t i = 0; i < 480; ++i)
            ASSERT_EQ(dst[b + 480 + i], src[b + 448 + i]) << i;
    }
}

TEST(CsiConverters, Block960PartialLastBlockReadsOnlyTheBuffer)
{
    // 500 bytes of a third block: its first segment comes out in part, the
    // others (sourced beyond the buffer) leave the frame as it was.
    const std::vector<uint8_t> src = counting(2 * 960 + 500);
    std::vector<uint8_t> dst(3 * 960, 0xEE);
    size_t p = 0;
    copyBlock960(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(p, 3 * 960u);
    const size_t b = 2 * 960;
    for (size_t i = 0; i < 448; ++i)
        ASSERT_EQ(dst[b + i], src[b + i]);
    for (size_t i = 448; i < 480; ++i)
        ASSERT_EQ(dst[b + i], 0xEE);
    for (size_t i = 480; i < 532; ++i)
        ASSERT_EQ(dst[b + i], src[b + i - 32]);
    for (size_t i = 532; i < 960; ++i)
        ASSERT_EQ(dst[b + i], 0xEE);
}

TEST(CsiConverters, Stride512DropsLinePadding)
{
    const std::vector<uint8_t> src = counting(92160);
    std::vector<uint8_t> dst(kSubFrameBytes);
    size_t p = 0;
    copyStride512(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(p, kSubFrameBytes);
    for (size_t y = 0; y < H; ++y)
        for (size_t x = 0; x < 480; ++x)
            ASSERT_EQ(dst[y * 480 + x], src[y * 512 + x]);
}

// Every converter over lengths around its own units, including the empty,
// the odd, the short and the oversized, and a frame smaller than the data.
TEST(CsiConverters, NeverReadPastTheBufferNorWritePastTheFrame)
{
    struct Converter {
        const char* name;
        CsiConverter fn;
        bool countsSamples;
    } converters[] = {
        {"copyPlain", copyPlain, false},
        {"copyStride512", copyStride512, false},
        {"copyBlock960", copyBlock960, false},
        {"unpackY12P", unpackY12P, true},
    };
    const size_t lengths[] = {0, 1, 2, 3, 7, 8, 9, 479, 480, 481, 511, 513, 959, 961, 1001, 66240,
                              86400, 86401, 90112, 92160, 92161};
    const size_t capacities[] = {0, 1, 17, 960, kSubFrameBytes - 1, kSubFrameBytes};
    for (const Converter& c : converters)
        for (size_t length : lengths)
            for (size_t capacity : capacities)
                for (size_t start : {size_t{0}, capacity / 2, capacity + 4}) {
                    SCOPED_TRACE(testing::Message() << c.name << " length " << length << " capacity "
                                                    << capacity << " start " << start);
                    // Heap blocks of exactly these sizes (at least one byte,
                    // so data() is a real block).
                    std::vector<uint8_t> src = counting(std::max<size_t>(length, 1));
                    std::vector<uint8_t> dst(std::max<size_t>(capacity, 1), 0x5A);
                    size_t p = c.countsSamples ? start / 2 : start;
                    const size_t before = p;
                    c.fn(src.data(), dst.data(), length, W, p, capacity);
                    const size_t limit = c.countsSamples ? capacity / 2 : capacity;
                    EXPECT_LE(p, std::max(limit, before));
                    EXPECT_GE(p, before);
                    if (capacity == 0) {
                        EXPECT_EQ(dst[0], 0x5A);
                    }
                }
}

TEST(CsiConverters, PlainCutsAnOversizedBufferAtTheFrame)
{
    const std::vector<uint8_t> src = counting(90112);
    std::vector<uint8_t> dst(kSubFrameBytes);
    size_t p = 0;
    copyPlain(src.data(), dst.data(), src.size(), W, p, dst.size());
    EXPECT_EQ(p, kSubFrameBytes);
    EXPECT_EQ(dst.back(), src[kSubFrameBytes - 1]);

    // A short buffer moves p by what it held, an odd count included.
    std::vector<uint8_t> frame(kSubFrameBytes, 0);
    p = 0;
    copyPlain(src.data(), frame.data(), 1001, W, p, frame.size());
    EXPECT_EQ(p, 1001u);
    EXPECT_EQ(frame[1000], src[1000]);
    EXPECT_EQ(frame[1001], 0);
}
