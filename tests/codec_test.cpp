// The coders over buffers: round trips of images that stress run lengths
// and deltas, damaged streams refused, and the rounding of depth and
// planes against std::nearbyint.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "codec/CompressedDepth.h"
#include "codec/PlaneCoding.h"
#include "codec/Rvl.h"

using namespace Quorvex;

namespace {

std::vector<std::vector<uint16_t>> images()
{
    std::mt19937 rng(31);
    std::vector<uint16_t> random(1000), holes(1000), runs;
    for (auto& v : random)
        v = static_cast<uint16_t>(rng());
    for (size_t i = 0; i < holes.size(); ++i)
        holes[i] = (rng() % 3) ? static_cast<uint16_t>(1000 + rng() % 9) : 0;
    for (size_t len : {1, 7, 8, 63, 64, 4096})
        for (int v : {0, 1})
            runs.insert(runs.end(), len, static_cast<uint16_t>(v * 40000));
    return {{}, {0}, {65535}, {1, 65535, 1, 0, 65535}, std::vector<uint16_t>(640 * 480, 0), random, holes, runs};
}

} // namespace

TEST(Rvl, RoundTripsAndStaysWithinItsBound)
{
    for (const auto& image : images()) {
        std::vector<uint8_t> stream(rvlMaxBytes(image.size()));
        const size_t n = rvlEncode(image.data(), image.size(), stream.data());
        ASSERT_LE(n, stream.size());
        EXPECT_EQ(n % 4, 0u);
        std::vector<uint16_t> back(image.size(), 1);
        ASSERT_TRUE(rvlDecode(stream.data(), n, back.data(), back.size())) << image.size();
        EXPECT_EQ(back, image);
    }
    // Alternating zero and 16-bit jumps is the costliest image there is.
    std::vector<uint16_t> worst(1001);
    for (size_t i = 0; i < worst.size(); ++i)
        worst[i] = (i % 2) ? ((i % 4 == 1) ? 65535 : 1) : 0;
    std::vector<uint8_t> stream(rvlMaxBytes(worst.size()));
    EXPECT_LE(rvlEncode(worst.data(), worst.size(), stream.data()), stream.size());
}

TEST(Rvl, RefusesDamagedStreams)
{
    const std::vector<uint16_t> image = images()[6];
    std::vector<uint8_t> good(rvlMaxBytes(image.size()));
    good.resize(rvlEncode(image.data(), image.size(), good.data()));
    std::vector<uint16_t> out(image.size());
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        size_t pixels;
    };
    std::vector<uint8_t> extra = good, ragged = good, nonzeroPad = good;
    extra.insert(extra.end(), 4, 0);
    ragged.push_back(0);
    // Nibbles after the last value must be zero; all ones is never that.
    nonzeroPad.insert(nonzeroPad.end(), 4, 0xFF);
    const std::vector<Case> cases = {
        {"truncated", std::vector<uint8_t>(good.begin(), good.end() - 4), image.size()},
        {"a word too many", extra, image.size()},
        {"not whole words", ragged, image.size()},
        {"garbage after the end", nonzeroPad, image.size()},
        {"fewer pixels than it holds", good, image.size() - 1},
        {"more pixels than it holds", good, image.size() + 1},
        {"an endless value", std::vector<uint8_t>(48, 0xFF), 4},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> o(c.pixels);
        EXPECT_FALSE(rvlDecode(c.stream.data(), c.stream.size(), o.data(), o.size())) << c.name;
    }
}

TEST(CompressedDepth, RoundsToNearestAndKeepsNoReadingAsZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> depth = {0.0f, nan, -5.0f, 0.49999997f, 0.5f, 1.5f, 2.5f, 1234.4999f,
                                      1234.5f, 65535.49f, 65535.5f, 1e30f};
    for (float d : depth) {
        const bool storable = d >= 0.5f && d < 65535.5f;
        const float want = storable ? std::nearbyint(d) : 0.0f;
        EXPECT_EQ(static_cast<float>(depthToMillimetre16(d)), want) << d;
    }
    std::vector<uint8_t> payload(compressedDepthMaxBytes(depth.size(), 1));
    payload.resize(encodeCompressedDepth(depth.data(), static_cast<uint32_t>(depth.size()), 1, payload.data()));
    std::vector<float> back(depth.size());
    EXPECT_EQ(decodeCompressedDepth(payload.data(), payload.size(), 1, 1, back.data()),
              CompressedDepthStatus::WRONG_SIZE);
    ASSERT_EQ(decodeCompressedDepth(payload.data(), payload.size(), static_cast<uint32_t>(depth.size()), 1,
                                    back.data()),
              CompressedDepthStatus::OK);
    for (size_t i = 0; i < depth.size(); ++i)
        EXPECT_EQ(back[i], static_cast<float>(depthToMillimetre16(depth[i])));
    // Quantisation parameters are those of float depth: a 16-bit image's
    // writer may leave anything there.
    const float params[2] = {0.5f, -3.0e38f};
    std::memcpy(&payload[4], params, sizeof params);
    EXPECT_EQ(decodeCompressedDepth(payload.data(), payload.size(), static_cast<uint32_t>(depth.size()), 1,
                                    back.data()),
              CompressedDepthStatus::OK);
    payload[0] = 1; // another format word
    EXPECT_EQ(decodeCompressedDepth(payload.data(), payload.size(), static_cast<uint32_t>(depth.size()), 1,
                                    back.data()),
              CompressedDepthStatus::NOT_16_BIT);
}

// The float coder finds its runs by a test on the floats, some lanes at a
// time: its stream must be that of the rounded image, whatever the floats
// and wherever a run starts or ends.
TEST(CompressedDepth, FloatStreamIsThatOfTheRoundedImage)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float edges[] = {0.0f,     -0.0f,     nan,      -nan,      inf,      -inf,  -5.0f,  1e-40f,
                           0.49999997f, 0.5f, 0.50000006f, 1.5f,  2.5f, 1234.5f, 65535.49f, 65535.5f,
                           65536.0f, 1e30f};
    std::mt19937 rng(7);
    for (int image = 0; image < 400; ++image) {
        std::vector<float> depth(rng() % 200);
        for (float& d : depth) {
            if (image % 2) {
                d = edges[rng() % (sizeof edges / sizeof edges[0])];
            } else {
                const uint32_t bits = rng();
                std::memcpy(&d, &bits, sizeof d);
                if (rng() % 2)
                    d = static_cast<float>(rng() % 70000) + 0.25f * static_cast<float>(rng() % 4);
            }
        }
        std::vector<uint16_t> mm(depth.size());
        for (size_t i = 0; i < depth.size(); ++i)
            mm[i] = depthToMillimetre16(depth[i]);
        std::vector<uint8_t> fromFloats(rvlMaxBytes(depth.size())), fromMm(fromFloats.size());
        fromFloats.resize(rvlEncodeDepth(depth.data(), depth.size(), fromFloats.data()));
        fromMm.resize(rvlEncode(mm.data(), mm.size(), fromMm.data()));
        ASSERT_EQ(fromFloats, fromMm) << image;
    }
}

TEST(PlaneCoding, ReadsNothingOfAPlaneWithoutPixels)
{
    // Nothing behind the pointers: any read or write faults.
    for (auto [cols, rows] : {std::pair<size_t, size_t>{0, 5}, {5, 0}, {0, 0}}) {
        encodePlaneResidual(static_cast<const float*>(nullptr), cols, rows, nullptr);
        encodePlaneResidual16(static_cast<const uint16_t*>(nullptr), cols, rows, nullptr);
    }
}

TEST(PlaneCoding, IsExactOn16BitsAndRoundsFloats)
{
    std::mt19937 rng(7);
    for (auto [cols, rows] : {std::pair<size_t, size_t>{1, 1}, {1, 9}, {9, 1}, {240, 180}, {17, 5}}) {
        std::vector<uint16_t> plane(cols * rows), back(cols * rows);
        for (auto& v : plane)
            v = static_cast<uint16_t>(rng());
        std::vector<uint8_t> residual(2 * plane.size());
        encodePlaneResidual16(plane.data(), cols, rows, residual.data());
        decodePlaneResidual16(residual.data(), cols, rows, back.data());
        EXPECT_EQ(back, plane) << cols << " x " << rows;

        std::vector<float> f(cols * rows), fback(cols * rows);
        for (auto& v : f)
            v = static_cast<float>(rng() % 140000) / 2.0f - 1000.0f;
        encodePlaneResidual(f.data(), cols, rows, residual.data());
        decodePlaneResidual(residual.data(), cols, rows, fback.data());
        for (size_t i = 0; i < f.size(); ++i)
            EXPECT_EQ(fback[i], std::fmin(std::fmax(std::nearbyint(f[i]), 0.0f), 65535.0f)) << f[i];
    }
}
