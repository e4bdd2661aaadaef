// Every CSI converter implementation this machine can run against the plain
// one: same bytes written (and left alone), same position afterwards, on
// buffer lengths and frame capacities that cut lines and blocks anywhere.
// Buffers are allocated at exactly the sizes under test, so that a vector
// step reading or writing past either end is caught under ASan.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sensor/CsiConverterKernels.h"

using namespace Quorvex;

namespace {

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(std::max<size_t>(n, 1));
    uint32_t s = seed | 1;
    for (uint8_t& b : v) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        b = static_cast<uint8_t>(s >> 24);
    }
    return v;
}

struct Outcome {
    std::vector<uint8_t> frame;
    size_t p;
};

Outcome runOne(CsiConverter fn, const std::vector<uint8_t>& src, size_t length, uint32_t width, size_t start,
               size_t capacity)
{
    Outcome o{std::vector<uint8_t>(std::max<size_t>(capacity, 1), 0xA5), start};
    fn(src.data(), o.frame.data(), length, width, o.p, capacity);
    return o;
}

// Lengths around every multiple of `unit` up to `units` of them, plus a few
// cut elsewhere.
std::vector<size_t> lengthsAround(size_t unit, size_t units)
{
    std::vector<size_t> v{0, 1, 2, 3, 31, 32, 33};
    for (size_t k = 1; k <= units; ++k)
        for (long d : {-33L, -32L, -31L, -2L, -1L, 0L, 1L, 17L}) {
            const long n = static_cast<long>(k * unit) + d;
            if (n >= 0)
                v.push_back(static_cast<size_t>(n));
        }
    return v;
}

void compareAll(const char* name, CsiConverter plain, CsiConverter fast, const std::vector<uint32_t>& widths,
                const std::vector<size_t>& lengths, bool countsSamples, size_t frameBytes)
{
    uint32_t seed = 1;
    for (uint32_t width : widths)
        for (size_t length : lengths) {
            const std::vector<uint8_t> src = noise(length, seed++);
            for (size_t capacity : {size_t{0}, size_t{1}, size_t{33}, frameBytes / 2 + 1, frameBytes})
                for (size_t startBytes : {size_t{0}, size_t{2}, size_t{64}, capacity / 3 * 2, capacity + 4}) {
                    const size_t start = countsSamples ? startBytes / 2 : startBytes;
                    const Outcome want = runOne(plain, src, length, width, start, capacity);
                    const Outcome got = runOne(fast, src, length, width, start, capacity);
                    const bool same = want.p == got.p && want.frame == got.frame;
                    EXPECT_TRUE(same) << name << ": width " << width << ", length " << length << ", capacity "
                                      << capacity << ", start " << start << ": p " << got.p << " want "
                                      << want.p;
                    if (!same)
                        return;
                }
        }
}

} // namespace

TEST(CsiConverterBackends, PlainSetComesFirst)
{
    const auto sets = detail::csiConverterSets();
    ASSERT_FALSE(sets.empty());
    EXPECT_STREQ(sets.front().name, "plain");
}

TEST(CsiConverterBackends, Stride512MatchesPlain)
{
    const auto sets = detail::csiConverterSets();
    for (size_t i = 1; i < sets.size(); ++i)
        compareAll(sets[i].name, detail::copyStride512Plain, sets[i].copyStride512, {240},
                   lengthsAround(512, 6), false, 6 * 480);
}

TEST(CsiConverterBackends, Block960MatchesPlain)
{
    const auto sets = detail::csiConverterSets();
    std::vector<size_t> lengths = lengthsAround(960, 4);
    for (size_t k = 0; k < 4; ++k)
        for (size_t r : {927u, 928u, 929u, 448u, 896u})
            lengths.push_back(k * 960 + r);
    for (size_t i = 1; i < sets.size(); ++i)
        compareAll(sets[i].name, detail::copyBlock960Plain, sets[i].copyBlock960, {240}, lengths, false, 4 * 960);
}

TEST(CsiConverterBackends, Y12PMatchesPlainOnEveryWidth)
{
    const auto sets = detail::csiConverterSets();
    for (size_t i = 1; i < sets.size(); ++i)
        for (uint32_t width : {1u, 2u, 3u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 240u, 241u, 640u}) {
            const size_t stride = y12pLineStride(width);
            compareAll(sets[i].name, detail::unpackY12PPlain, sets[i].unpackY12P, {width},
                       lengthsAround(stride, 4), true, 4 * width * 2);
        }
}
