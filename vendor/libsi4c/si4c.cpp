#include "vendor/libsi4c/si4c.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/ByteOrder.h"

namespace {

constexpr float kTwoPi = 6.28318530718f;
constexpr float kRange1 = static_cast<float>(SI4C_RANGE1_MM);
constexpr float kRange2 = static_cast<float>(SI4C_RANGE2_MM);
constexpr float kUnambiguous = static_cast<float>(SI4C_UNAMBIGUOUS_DUAL_MM);
// Phase noise is the same at both frequencies for the same light, so the
// distance variance scales with the square of each frequency's range.
constexpr float kWeight2 = kRange1 * kRange1 / (kRange1 * kRange1 + kRange2 * kRange2);

struct Settings {
    float minAmplitude = 4.0f;
    float validDistMin = 0.0f;
    float validDistMax = 7000.0f;
};

constexpr size_t kCaliHeaderBytes = 16;

using Quorvex::loadLe16;
using Quorvex::loadLe32;

uint16_t loadSample(const unsigned char* p)
{
    return static_cast<uint16_t>(loadLe16(p) & 0x0FFF);
}

// One frequency's measurement of one pixel.
struct Measurement {
    float distance; // millimetres within [0, range)
    float amplitude;
    float confidence;
    bool valid;
};

} // namespace

struct SiSDKInstance {
    std::atomic<bool> singleFreq{true};
    int width = 0;
    int height = 0;
    bool initialised = false;
    bool started = false;
    Settings settings;
    const unsigned char* calibration = nullptr;
    size_t calibrationLength = 0;
    std::string lastConfig;
    int initCount = 0;
    int caliCount = 0;
    int configCount = 0;
    int startCount = 0;

    // Distance offsets from the calibration, millimetres; zero without one.
    bool calibrationUsable(float offsets[2]) const;
};

bool SiSDKInstance::calibrationUsable(float offsets[2]) const
{
    offsets[0] = offsets[1] = 0.0f;
    if (!calibration || calibrationLength < 4 || std::memcmp(calibration, "SI4C", 4) != 0)
        return true; // an opaque blob or none: nothing to apply
    if (calibrationLength < kCaliHeaderBytes)
        return false;
    const unsigned version = loadLe16(calibration + 4);
    if (version != 1)
        return false;
    offsets[0] = static_cast<float>(static_cast<int32_t>(loadLe32(calibration + 8))) / 1000.0f;
    offsets[1] = static_cast<float>(static_cast<int32_t>(loadLe32(calibration + 12))) / 1000.0f;
    return true;
}

namespace {

bool embeddedRowMatches(const unsigned char* row, int freqIndex, int subFrame)
{
    return loadSample(row) == SI4C_EMBEDDED_MARKER && loadSample(row + 2) == freqIndex &&
           loadSample(row + 4) == subFrame;
}

// Decodes pixel n of the five sub-frames of one frequency starting at base.
Measurement measure(const unsigned char* base, size_t subFrameBytes, size_t rowBytes, size_t n,
                    float range, float offset, float minAmplitude)
{
    const unsigned char* px = base + rowBytes + 2 * n; // skip the embedded row
    const uint16_t c0 = loadSample(px);
    const uint16_t c1 = loadSample(px + subFrameBytes);
    const uint16_t c2 = loadSample(px + 2 * subFrameBytes);
    const uint16_t c3 = loadSample(px + 3 * subFrameBytes);
    const uint16_t grey = loadSample(px + 4 * subFrameBytes);
    const float i = static_cast<float>(c0) - static_cast<float>(c2);
    const float q = static_cast<float>(c3) - static_cast<float>(c1);
    Measurement m;
    m.amplitude = 0.5f * std::sqrt(i * i + q * q);
    float phase = std::atan2(q, i);
    if (phase < 0.0f)
        phase += kTwoPi;
    float d = phase / kTwoPi * range - offset;
    d -= range * std::floor(d / range);
    m.distance = d;
    m.confidence = m.amplitude / std::sqrt(1.0f + m.amplitude + static_cast<float>(grey));
    // A clipped sample distorts the phase of the whole pixel.
    const auto clipped = [](uint16_t c) { return c == 0 || c >= SI4C_SAMPLE_MAX; };
    m.valid = m.amplitude >= minAmplitude && !clipped(c0) && !clipped(c1) && !clipped(c2) &&
              !clipped(c3);
    return m;
}

// Picks the wrap counts of the two frequencies that agree best and blends the
// two distances; result in [0, kUnambiguous).
float unwrap(float d1, float d2)
{
    float bestError = kUnambiguous;
    float bestD1 = d1;
    for (int i = 0; i < 4; ++i) {
        const float cand1 = d1 + static_cast<float>(i) * kRange1;
        for (int j = 0; j < 3; ++j) {
            float e = cand1 - (d2 + static_cast<float>(j) * kRange2);
            // Pairs that straddle the 0 / 5000 mm seam belong together too.
            e -= kUnambiguous * std::round(e / kUnambiguous);
            if (std::fabs(e) < std::fabs(bestError)) {
                bestError = e;
                bestD1 = cand1;
            }
        }
    }
    float d = bestD1 - kWeight2 * bestError;
    d -= kUnambiguous * std::floor(d / kUnambiguous);
    return d;
}

bool parseFloat(const std::string& text, float* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const float v = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

std::string trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return std::string();
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// All-or-nothing: a text with one bad entry changes no setting.
bool parseConfig(const char* text, Settings* settings)
{
    Settings next = *settings;
    const std::string all(text);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find_first_of("\n;", pos);
        if (end == std::string::npos)
            end = all.size();
        const std::string entry = trim(all.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty() || entry[0] == '#' || entry.compare(0, 2, "//") == 0)
            continue;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "si4c: configuration entry without '=': %s\n", entry.c_str());
            return false;
        }
        const std::string key = trim(entry.substr(0, eq));
        const std::string value = trim(entry.substr(eq + 1));
        float v = 0.0f;
        if (!parseFloat(value, &v) || v < 0.0f) {
            std::fprintf(stderr, "si4c: bad value for %s: %s\n", key.c_str(), value.c_str());
            return false;
        }
        if (key == "MinAmplitude") {
            next.minAmplitude = v;
        } else if (key == "ValidDistMin") {
            next.validDistMin = v;
        } else if (key == "ValidDistMax") {
            next.validDistMax = v;
        } else {
            std::fprintf(stderr, "si4c: unknown configuration key: %s\n", key.c_str());
            return false;
        }
    }
    if (next.validDistMax <= next.validDistMin) {
        std::fprintf(stderr, "si4c: ValidDistMax must exceed ValidDistMin\n");
        return false;
    }
    *settings = next;
    return true;
}

} // namespace

extern "C" {

int SiSDKCreate(SiSDKHandle* handle)
{
    if (!handle)
        return 0;
    *handle = new (std::nothrow) SiSDKInstance();
    return *handle != nullptr;
}

int SiSDKInit(SiSDKHandle handle, int width, int height)
{
    if (!handle)
        return 0;
    handle->started = false;
    handle->initialised = false;
    ++handle->initCount;
    if ((width != 320 && width != 640) || (height != 240 && height != 480))
        return 0;
    handle->width = width;
    handle->height = height;
    handle->settings = Settings();
    handle->initialised = true;
    return 1;
}

int SiSDKSetCaliData(SiSDKHandle handle, const void* data, size_t length)
{
    if (!handle)
        return 0;
    ++handle->caliCount;
    if (!data || length == 0) {
        handle->calibration = nullptr;
        handle->calibrationLength = 0;
        return 1;
    }
    handle->calibration = static_cast<const unsigned char*>(data);
    handle->calibrationLength = length;
    return 1;
}

int SiSDKSetConfig(SiSDKHandle handle, const char* text)
{
    if (!handle || !text)
        return 0;
    ++handle->configCount;
    handle->lastConfig = text;
    return parseConfig(text, &handle->settings) ? 1 : 0;
}

int SiSDKStart(SiSDKHandle handle)
{
    if (!handle)
        return 0;
    ++handle->startCount;
    handle->started = false;
    if (!handle->initialised)
        return 0;
    float offsets[2];
    if (!handle->calibrationUsable(offsets)) {
        std::fprintf(stderr, "si4c: corrupt calibration, not started\n");
        return 0;
    }
    handle->started = true;
    return 1;
}

int SiSDKIsSingleFreq(SiSDKHandle handle)
{
    return handle && handle->singleFreq.load() ? 1 : 0;
}

int SiSDKSetSingleFreq(SiSDKHandle handle, int single)
{
    if (!handle)
        return 0;
    handle->singleFreq.store(single != 0);
    return 1;
}

int SiSDKGetPhaseImage(SiSDKHandle handle, const unsigned char* raw, float* depth,
                       float* amplitude, float* confidence)
{
    if (!handle || !handle->started || !raw || !depth || !amplitude || !confidence)
        return 0;
    // The mode is read once: a switch from another thread takes effect at
    // the next frame, never half-way through this one.
    const bool single = handle->singleFreq.load();
    const int freqs = single ? 1 : 2;
    const size_t w = static_cast<size_t>(handle->width);
    const size_t h = static_cast<size_t>(handle->height);
    const size_t rowBytes = 2 * w;
    const size_t subFrameBytes = rowBytes * (h + 1);
    const size_t freqBytes = subFrameBytes * SI4C_SUBFRAMES_PER_FREQ;

    for (int f = 0; f < freqs; ++f)
        for (int s = 0; s < SI4C_SUBFRAMES_PER_FREQ; ++s)
            if (!embeddedRowMatches(raw + f * freqBytes + s * subFrameBytes, f, s))
                return 0;

    float offsets[2];
    handle->calibrationUsable(offsets);
    const Settings cfg = handle->settings;
    const size_t pixels = w * h;
    for (size_t n = 0; n < pixels; ++n) {
        const Measurement m1 = measure(raw, subFrameBytes, rowBytes, n, kRange1, offsets[0],
                                       cfg.minAmplitude);
        float d = m1.distance;
        float a = m1.amplitude;
        float c = m1.confidence;
        bool valid = m1.valid;
        if (!single) {
            const Measurement m2 = measure(raw + freqBytes, subFrameBytes, rowBytes, n, kRange2,
                                           offsets[1], cfg.minAmplitude);
            d = unwrap(m1.distance, m2.distance);
            a = 0.5f * (m1.amplitude + m2.amplitude);
            c = std::fmin(m1.confidence, m2.confidence);
            valid = valid && m2.valid;
        }
        valid = valid && d >= cfg.validDistMin && d <= cfg.validDistMax;
        depth[n] = valid ? d : 0.0f;
        amplitude[n] = a;
        confidence[n] = valid ? c : 0.0f;
    }
    return 1;
}

int SiSDKDestroy(SiSDKHandle* handle)
{
    if (!handle || !*handle)
        return 0;
    delete *handle;
    *handle = nullptr;
    return 1;
}

int SiSDKDebugGetState(SiSDKHandle handle, SiSDKDebugState* state)
{
    if (!handle || !state)
        return 0;
    state->initCount = handle->initCount;
    state->caliCount = handle->caliCount;
    state->configCount = handle->configCount;
    state->startCount = handle->startCount;
    state->width = handle->width;
    state->height = handle->height;
    state->started = handle->started ? 1 : 0;
    state->calibration = handle->calibration;
    state->calibrationLength = handle->calibrationLength;
    state->lastConfig = handle->lastConfig.c_str();
    return 1;
}

} // extern "C"
