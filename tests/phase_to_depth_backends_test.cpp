#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/PhaseToDepth.h"
#include "device/PhaseToDepthKernels.h"
#include "sim/SceneModel.h"

using namespace Quorvex;

// Every phase-to-depth backend this machine can run, compared bit for bit
// with the conversion written out plainly here.

namespace {

constexpr int kMaxDiff = 2047;
constexpr int kDiffs = 2 * kMaxDiff + 1;

struct Expected {
    float depth;
    float amp;
};

// The conversion as defined, for decoded differences y and x.
Expected plain(int32_t y, int32_t x, float freq)
{
    float phase = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
    if (phase < 0.0f)
        phase = phase + 6.2831855f;
    const float depth = 300000000.0f / (freq * 12.566371f) * phase * 1000.0f;
    const double xd = x, yd = y;
    return {depth, static_cast<float>(0.5 * std::sqrt(xd * xd + yd * yd))};
}

// Low 11 bits after the shift, two's complement, times 16.
int32_t decoded(uint16_t word, unsigned shift)
{
    int32_t v = (word >> shift) & 0x7FF;
    if (v >= 1024)
        v -= 2048;
    return v * 16;
}

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A sensor word whose 11-bit sample is `sample`, moved up by `shift`.
uint16_t word(int sample, unsigned shift)
{
    return static_cast<uint16_t>((static_cast<unsigned>(sample) & 0x7FFu) << shift);
}

// Two samples whose difference is d.
void samplesFor(int d, int& plus, int& minus)
{
    minus = d >= 0 ? -1024 : -1024 - d;
    plus = minus + d;
}

// Under emulation (the ARM jobs run the tests in qemu-arm and qemu-aarch64)
// the full domain takes minutes, so ARM builds check every 7th y row unless
// QUORVEX_FULL_EXHAUSTIVE is set; a real board can afford the full run.
int rowStep()
{
#if defined(__arm__) || defined(__aarch64__)
    return std::getenv("QUORVEX_FULL_EXHAUSTIVE") ? 1 : 7;
#else
    return 1;
#endif
}

} // namespace

TEST(PhaseToDepthBackends, ScalarFirstAndOthersRefusedWhenAbsent)
{
    const std::vector<PhaseToDepthBackend> list = phaseToDepthBackends();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), PhaseToDepthBackend::SCALAR);

    uint16_t raw[4] = {1, 2, 3, 4};
    for (PhaseToDepthBackend b :
         {PhaseToDepthBackend::SCALAR, PhaseToDepthBackend::AVX2, PhaseToDepthBackend::NEON}) {
        bool listed = false;
        for (PhaseToDepthBackend l : list)
            listed = listed || l == b;
        float depth = -1.0f, amp = -1.0f, conf = -1.0f;
        const bool ran = phaseToDepthWith(b, raw, &depth, &amp, &conf, 1, 0, false, 37500000.0f);
        if (!listed && b != PhaseToDepthBackend::SCALAR) {
            // A backend the CPU lacks must not be run at all, not even partly.
            EXPECT_FALSE(ran) << to_str(b);
            EXPECT_EQ(depth, -1.0f) << to_str(b);
        } else {
            EXPECT_TRUE(ran) << to_str(b);
        }
    }
}

// Every (y, x) pair the sensor can produce, through real sensor words, on
// every backend. Eight y rows go into one call so that nearly every pixel
// takes the vector path rather than a kernel's scalar tail.
TEST(PhaseToDepthBackends, ExhaustivePhaseDomainMatchesPlainConversion)
{
    constexpr int kRowsPerCall = 8;
    constexpr size_t kMaxPixels = static_cast<size_t>(kRowsPerCall) * kDiffs;
    constexpr float kFreq = 37500000.0f;
    std::vector<uint16_t> raw(4 * kMaxPixels);
    std::vector<float> depth(kMaxPixels), amp(kMaxPixels), conf(kMaxPixels);
    std::vector<Expected> expected(kMaxPixels);
    const std::vector<PhaseToDepthBackend> backends = phaseToDepthBackends();
    std::vector<size_t> mismatches(backends.size());
    std::vector<std::string> first(backends.size());
    const int step = rowStep();

    std::vector<int> rows;
    for (int dy = -kMaxDiff; dy <= kMaxDiff; dy += step)
        rows.push_back(dy);
    if (rows.back() != kMaxDiff)
        rows.push_back(kMaxDiff);

    for (size_t r0 = 0; r0 < rows.size(); r0 += kRowsPerCall) {
        const size_t rowCount = std::min<size_t>(kRowsPerCall, rows.size() - r0);
        const size_t pixels = rowCount * kDiffs;
        // Far pairing: y = P2 - P0, x = P3 - P1.
        uint16_t* p0 = raw.data();
        uint16_t* p1 = p0 + pixels;
        uint16_t* p2 = p1 + pixels;
        uint16_t* p3 = p2 + pixels;
        for (size_t r = 0; r < rowCount; ++r) {
            const int dy = rows[r0 + r];
            int yPlus, yMinus;
            samplesFor(dy, yPlus, yMinus);
            for (int i = 0; i < kDiffs; ++i) {
                const int dx = i - kMaxDiff;
                int xPlus, xMinus;
                samplesFor(dx, xPlus, xMinus);
                const size_t n = r * kDiffs + i;
                p0[n] = word(yMinus, 0);
                p2[n] = word(yPlus, 0);
                p1[n] = word(xMinus, 0);
                p3[n] = word(xPlus, 0);
                expected[n] = plain(16 * dy, 16 * dx, kFreq);
            }
        }
        for (size_t b = 0; b < backends.size(); ++b) {
            ASSERT_TRUE(phaseToDepthWith(backends[b], raw.data(), depth.data(), amp.data(), conf.data(),
                                         pixels, 0, false, kFreq));
            for (size_t n = 0; n < pixels; ++n) {
                if (sameBits(depth[n], expected[n].depth) && sameBits(amp[n], expected[n].amp) &&
                    sameBits(conf[n], expected[n].amp))
                    continue;
                if (mismatches[b]++ == 0) {
                    first[b] = "y = " + std::to_string(16 * rows[r0 + n / kDiffs]) +
                               ", x = " + std::to_string(16 * (static_cast<int>(n % kDiffs) - kMaxDiff)) +
                               ": depth " + std::to_string(depth[n]) + " want " +
                               std::to_string(expected[n].depth) + ", amplitude " +
                               std::to_string(amp[n]) + " want " + std::to_string(expected[n].amp);
                }
            }
        }
    }
    for (size_t b = 0; b < backends.size(); ++b)
        EXPECT_EQ(mismatches[b], 0u) << to_str(backends[b]) << ", first at " << first[b];
}

namespace {

enum class Content { SCENE, RANDOM_WORDS, EQUAL_PLANES, EXTREMES };

struct FrameCase {
    const char* name;
    Content content;
    bool nearPairing;
    unsigned shift;
    float freq;
    size_t pixels;    // fewer than a frame leaves a tail for the scalar code
    size_t rawOffset; // words: start the planes off 16-byte alignment
};

// Deterministic 32-bit generator: the frames are the same on every run.
uint32_t nextRandom(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

void fill(const FrameCase& c, uint16_t* raw)
{
    const size_t frame = sim::kHqvgaPlaneWords;
    uint32_t state = 0x9E3779B9u;
    switch (c.content) {
    case Content::SCENE: {
        sim::SceneParams params;
        params.depthNoiseMm = 3.0;
        const sim::Scene scene = sim::makeScene(sim::SceneKind::BOX, sim::kHqvgaWidth, sim::kHqvgaHeight, params);
        sim::CorrelationModel model;
        model.noise = 2.0;
        sim::NoiseSource noise(7);
        const int range = c.nearPairing ? 2000 : 4000;
        ASSERT_TRUE(sim::renderHqvgaSubFrames(scene, c.freq, range, c.shift, raw, model, &noise));
        // The planes of a shorter run are the first `pixels` words of each.
        for (unsigned k = 1; k < 4; ++k)
            std::memmove(raw + k * c.pixels, raw + k * frame, c.pixels * sizeof *raw);
        break;
    }
    case Content::RANDOM_WORDS:
        // Whole 16-bit words: bits outside the sample must be ignored.
        for (size_t n = 0; n < 4 * c.pixels; ++n)
            raw[n] = static_cast<uint16_t>(nextRandom(state));
        break;
    case Content::EQUAL_PLANES:
        for (size_t n = 0; n < c.pixels; ++n) {
            const uint16_t w = static_cast<uint16_t>(nextRandom(state));
            for (unsigned k = 0; k < 4; ++k)
                raw[k * c.pixels + n] = w;
        }
        break;
    case Content::EXTREMES: {
        const int values[] = {-1024, 1023, 0, -1, 1};
        for (size_t n = 0; n < 4 * c.pixels; ++n)
            raw[n] = word(values[nextRandom(state) % 5], c.shift);
        break;
    }
    }
}

class PhaseToDepthFrames : public ::testing::TestWithParam<FrameCase> {};

} // namespace

TEST_P(PhaseToDepthFrames, EveryBackendMatchesPlainConversion)
{
    const FrameCase& c = GetParam();
    std::vector<uint16_t> storage(4 * sim::kHqvgaPlaneWords + c.rawOffset);
    uint16_t* raw = storage.data() + c.rawOffset;
    fill(c, raw);
    if (HasFatalFailure())
        return;

    const size_t n = c.pixels;
    const uint16_t* p[4] = {raw, raw + n, raw + 2 * n, raw + 3 * n};
    std::vector<Expected> expected(n);
    for (size_t i = 0; i < n; ++i) {
        int32_t s[4];
        for (int k = 0; k < 4; ++k)
            s[k] = decoded(p[k][i], c.shift);
        const int32_t y = c.nearPairing ? s[1] - s[3] : s[2] - s[0];
        const int32_t x = c.nearPairing ? s[2] - s[0] : s[3] - s[1];
        expected[i] = plain(y, x, c.freq);
    }

    for (PhaseToDepthBackend b : phaseToDepthBackends()) {
        // One float past each plane must stay untouched.
        std::vector<float> depth(n + 1, -7.0f), amp(n + 1, -7.0f), conf(n + 1, -7.0f);
        ASSERT_TRUE(phaseToDepthWith(b, raw, depth.data(), amp.data(), conf.data(), n, c.shift,
                                     c.nearPairing, c.freq));
        size_t bad = 0;
        size_t firstBad = 0;
        for (size_t i = 0; i < n; ++i) {
            if (!sameBits(depth[i], expected[i].depth) || !sameBits(amp[i], expected[i].amp) ||
                !sameBits(conf[i], expected[i].amp)) {
                if (bad++ == 0)
                    firstBad = i;
            }
        }
        EXPECT_EQ(bad, 0u) << to_str(b) << ": first at pixel " << firstBad << ", depth "
                           << depth[firstBad] << " want " << expected[firstBad].depth;
        EXPECT_EQ(depth[n], -7.0f) << to_str(b);
        EXPECT_EQ(amp[n], -7.0f) << to_str(b);
        EXPECT_EQ(conf[n], -7.0f) << to_str(b);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseToDepthFrames,
    ::testing::Values(
        FrameCase{"SceneFar", Content::SCENE, false, 0, 37500000.0f, sim::kHqvgaPlaneWords, 0},
        FrameCase{"SceneNearShift4", Content::SCENE, true, 4, 75000000.0f, sim::kHqvgaPlaneWords, 0},
        FrameCase{"SceneFarTail", Content::SCENE, false, 0, 37500000.0f, sim::kHqvgaPlaneWords - 5, 1},
        FrameCase{"RandomWordsFar", Content::RANDOM_WORDS, false, 0, 37500000.0f, sim::kHqvgaPlaneWords, 0},
        FrameCase{"RandomWordsNearShift4", Content::RANDOM_WORDS, true, 4, 75000000.0f, sim::kHqvgaPlaneWords, 3},
        FrameCase{"RandomWordsOddFrequency", Content::RANDOM_WORDS, false, 4, 51234567.0f, 1003, 0},
        FrameCase{"EqualPlanes", Content::EQUAL_PLANES, true, 0, 75000000.0f, 4099, 0},
        FrameCase{"ExtremesFar", Content::EXTREMES, false, 0, 37500000.0f, sim::kHqvgaPlaneWords, 0},
        FrameCase{"ExtremesNearShift4Short", Content::EXTREMES, true, 4, 75000000.0f, 13, 2},
        FrameCase{"SinglePixel", Content::RANDOM_WORDS, false, 0, 37500000.0f, 1, 1}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

// The RAW re-packing (on the row decoder this CPU gets, and on the plain
// one) against decodeSample word by word, on row widths that leave every
// possible tail after the vector steps and on whole 16-bit words (bits
// outside the sample must be ignored).
TEST(PhaseToDepthBackends, RepackMatchesPlainDecodingOnEveryWidth)
{
    constexpr size_t kRows = 3;
    constexpr size_t kPlanes = 4;
    uint32_t state = 0x1234567u;
    for (unsigned shift : {0u, 4u}) {
        for (size_t width : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 240u}) {
            std::vector<uint16_t> raw(kPlanes * kRows * width);
            for (uint16_t& w : raw)
                w = static_cast<uint16_t>(nextRandom(state));
            std::vector<int16_t> out(raw.size() + 1, 0x5555);
            repackPhasePlanes(raw.data(), out.data(), width, kRows, kPlanes, shift);
            int mismatches = 0;
            for (size_t row = 0; row < kRows; ++row)
                for (size_t k = 0; k < kPlanes; ++k)
                    for (size_t c = 0; c < width; ++c) {
                        const uint16_t w = raw[k * kRows * width + row * width + c];
                        if (out[(kPlanes * row + k) * width + c] != decoded(w, shift))
                            ++mismatches;
                    }
            EXPECT_EQ(mismatches, 0) << "width " << width << ", shift " << shift;
            EXPECT_EQ(out.back(), 0x5555) << "wrote past the end, width " << width;

            std::vector<int16_t> row(width + 1, 0x5555);
            detail::decodeRowPlain(raw.data(), row.data(), width, shift);
            mismatches = 0;
            for (size_t c = 0; c < width; ++c)
                mismatches += row[c] != decoded(raw[c], shift);
            EXPECT_EQ(mismatches, 0) << "plain row decoder, width " << width << ", shift " << shift;
            EXPECT_EQ(row.back(), 0x5555) << "plain row decoder wrote past the end, width " << width;
        }
    }
}
