// The plane coder of amplitude and confidence: exact round trips of
// images that stress its borders, runs, escapes and weights; its worst
// case within the stated bound; damaged payloads refused. (The bit layout
// is checked against a decoder written from the format's description in
// the Python tests.)
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/LinearRice.h"

using namespace Quorvex;

namespace {

struct Image {
    std::string name;
    uint32_t cols, rows;
    std::vector<uint16_t> values;
};

std::vector<Image> images()
{
    std::mt19937 rng(17);
    std::normal_distribution<double> noise(0.0, 40.0);
    auto make = [&](std::string name, uint32_t cols, uint32_t rows, auto value) {
        Image im{std::move(name), cols, rows, std::vector<uint16_t>(size_t{cols} * rows)};
        for (uint32_t y = 0; y < rows; ++y)
            for (uint32_t x = 0; x < cols; ++x)
                im.values[size_t{y} * cols + x] = static_cast<uint16_t>(value(x, y));
        return im;
    };
    auto clamp16 = [](double v) { return v < 0 ? 0.0 : v > 65535 ? 65535.0 : std::round(v); };
    return {
        make("one pixel", 1, 1, [](uint32_t, uint32_t) { return 5; }),
        make("one row", 37, 1, [&](uint32_t, uint32_t) { return rng() % 300; }),
        make("one column", 1, 23, [&](uint32_t, uint32_t) { return rng() % 300; }),
        make("narrower than the inside", 4, 9, [&](uint32_t, uint32_t) { return rng(); }),
        make("all equal", 31, 17, [](uint32_t, uint32_t) { return 777; }),
        make("all zero", 64, 8, [](uint32_t, uint32_t) { return 0; }),
        make("all 65535", 20, 20, [](uint32_t, uint32_t) { return 65535; }),
        make("random 16-bit", 61, 43, [&](uint32_t, uint32_t) { return rng(); }),
        make("extremes side by side", 33, 9, [](uint32_t x, uint32_t y) { return (x + y) % 2 ? 65535 : 0; }),
        make("flat with steps (runs to the row's end and broken)", 90, 12,
             [](uint32_t x, uint32_t y) { return x < 40 + y ? 33 : x % 7 ? 9 : 34; }),
        make("smooth and noisy, odd size", 241, 181,
             [&](uint32_t x, uint32_t y) {
                 const double r2 = (x - 120.0) * (x - 120.0) + (y - 90.0) * (y - 90.0);
                 return clamp16(14000.0 * std::exp(-r2 / 5000.0) + 300.0 + noise(rng));
             }),
        make("noise near 0 and 65535 (clamped predictions)", 50, 30,
             [&](uint32_t x, uint32_t) { return clamp16((x < 25 ? 0.0 : 65535.0) + noise(rng)); }),
        // The encoder predicts a stretch of 128 pixels of a row ahead, the
        // inner ones apart from the border: one inner column, and runs
        // that start or end on either side of a stretch's end.
        make("one inner column", 5, 7, [&](uint32_t, uint32_t) { return rng() % 5000; }),
        make("runs across stretches", 389, 7,
             [&](uint32_t x, uint32_t y) {
                 const bool flat = (x >= 100 + y && x < 140 + 3 * y) || (x >= 250 && x < 257 + y) || x > 380;
                 return flat ? 2000.0 : clamp16(2000.0 + noise(rng));
             }),
    };
}

std::vector<uint8_t> encode(const Image& im)
{
    std::vector<uint8_t> out(linearRiceMaxBytes(im.cols, im.rows));
    out.resize(encodeLinearRice(im.values.data(), im.cols, im.rows, out.data()));
    return out;
}

} // namespace

TEST(LinearRice, RoundTripsExactlyWithinItsBound)
{
    for (const Image& im : images()) {
        std::vector<uint8_t> payload(linearRiceMaxBytes(im.cols, im.rows));
        const size_t n = encodeLinearRice(im.values.data(), im.cols, im.rows, payload.data());
        ASSERT_LE(n, payload.size()) << im.name;
        payload.resize(n);
        uint32_t cols = 0, rows = 0;
        ASSERT_TRUE(readLinearRiceSize(payload.data(), payload.size(), cols, rows));
        EXPECT_EQ(cols, im.cols);
        EXPECT_EQ(rows, im.rows);
        std::vector<uint16_t> back(im.values.size(), 1);
        ASSERT_TRUE(decodeLinearRice(payload.data(), n, im.cols, im.rows, back.data())) << im.name;
        EXPECT_EQ(back, im.values) << im.name;
        std::vector<float> fback(im.values.size());
        ASSERT_TRUE(decodeLinearRiceFloat(payload.data(), n, im.cols, im.rows, fback.data())) << im.name;
        for (size_t i = 0; i < fback.size(); ++i)
            ASSERT_EQ(fback[i], static_cast<float>(im.values[i])) << im.name << " at " << i;
    }
}

// The payloads of images() as the plain one-pixel-at-a-time encoder wrote
// them (FNV-1a, 64 bits): the encoder's fast paths must not change a bit
// of what recordings and streams hold.
TEST(LinearRice, PayloadsStayByteForByte)
{
    // (mt19937 and libstdc++'s normal distribution make the images.)
    const uint64_t expected[] = {
        0xc5cd8745f73f0615ull, 0xea22a4d84fe9ec2dull, 0x74c4076a7a27720full,
        0x32b8ac1510cb54dull, 0xaa6da592cf767f83ull, 0xe328981f84007aa7ull,
        0x7a57c7d6cb4b9c50ull, 0xa9afeffd8f89282cull, 0x73fa5350b81f7bd4ull,
        0x5e1f5b7e8c1e23f0ull, 0xf847c636b6c57fefull, 0x67996e984cc70ce2ull,
        0x2791be05bc8d90f4ull, 0xd20c1687c1a6fe03ull,
    };
    const auto all = images();
    ASSERT_EQ(all.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < all.size(); ++i) {
        uint64_t h = 14695981039346656037ull;
        for (uint8_t b : encode(all[i]))
            h = (h ^ b) * 1099511628211ull;
        EXPECT_EQ(h, expected[i]) << all[i].name << " hashes to 0x" << std::hex << h;
    }
}

TEST(LinearRice, CodesWhatIsCheapCheaply)
{
    // Flat planes are runs: a few bits a row; white noise of
    // sigma 40 has an entropy of about 7.4 bits a value.
    const auto all = images();
    const Image flat{"flat VGA", 640, 480, std::vector<uint16_t>(640 * 480, 4321)};
    EXPECT_LT(encode(flat).size() * 8.0 / flat.values.size(), 0.05);
    const Image& noisy = all[10];
    EXPECT_LT(encode(noisy).size() * 8.0 / noisy.values.size(), 8.0);
}

TEST(LinearRice, FloatsAreRoundedToWholeUnits)
{
    const std::vector<float> f = {-3.0f, 0.49f, 0.5f, 1.5f, 2.5f, 1000.4f, 65534.5f, 65535.4f, 70000.0f, NAN,
                                  12.0f, 13.0f, 14.0f, 15.0f, 16.0f, INFINITY, -INFINITY, -0.0f, 65535.0f,
                                  32767.5f, 4.5f, 0.0f, 1e-30f, 65534.6f, 7.5f};
    const uint32_t cols = 5, rows = 5;
    std::vector<uint16_t> scratch(f.size());
    std::vector<uint8_t> payload(linearRiceMaxBytes(cols, rows));
    payload.resize(encodeLinearRiceFloat(f.data(), cols, rows, scratch.data(), payload.data()));
    std::vector<float> back(f.size());
    ASSERT_TRUE(decodeLinearRiceFloat(payload.data(), payload.size(), cols, rows, back.data()));
    for (size_t i = 0; i < f.size(); ++i) {
        const float want = std::isnan(f[i]) ? 0.0f : std::fmin(std::fmax(std::nearbyint(f[i]), 0.0f), 65535.0f);
        EXPECT_EQ(back[i], want) << f[i];
    }
}

TEST(LinearRice, RefusesDamagedPayloads)
{
    const Image im = images()[10];
    const std::vector<uint8_t> good = encode(im);
    std::vector<uint8_t> extra = good, truncated(good.begin(), good.end() - 1), weight = good, header(good.begin(),
                                                                                                    good.begin() + 18);
    extra.push_back(0);
    weight[8] = 0x01;
    weight[9] = 0x01; // 257: beyond any weight the coder writes
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        uint32_t cols, rows;
    };
    const std::vector<Case> cases = {
        {"a byte too many", extra, im.cols, im.rows},
        {"truncated", truncated, im.cols, im.rows},
        {"header only", header, im.cols, im.rows},
        {"shorter than the header", std::vector<uint8_t>(good.begin(), good.begin() + 17), im.cols, im.rows},
        {"a weight out of range", weight, im.cols, im.rows},
        {"another width", good, im.cols - 1, im.rows},
        {"another height", good, im.cols, im.rows + 1},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> out(size_t{c.cols} * c.rows);
        EXPECT_FALSE(decodeLinearRice(c.payload.data(), c.payload.size(), c.cols, c.rows, out.data())) << c.name;
    }
    // The padding of the last byte must be zero: a set bit there is damage.
    const Image one = images()[0];
    std::vector<uint8_t> padded = encode(one);
    padded.back() |= 0x80;
    uint16_t v = 0;
    EXPECT_FALSE(decodeLinearRice(padded.data(), padded.size(), 1, 1, &v));
}
