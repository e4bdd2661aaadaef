// HQVGA per-frame stages against baselines measured in the same run:
// getPhaseImage (and each phase-to-depth backend) against the plain scalar
// conversion, getRawImages against a memcpy of the bytes it touches.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "bench/BenchReference.h"
#include "device/PhaseToDepth.h"
#include "device/QuorvexDeviceHQVGA.h"

using namespace Quorvex;
using namespace Quorvex::bench;

namespace {

constexpr size_t kPixels = QuorvexDeviceHQVGA::kWidth * QuorvexDeviceHQVGA::kHeight;
constexpr float kFrequency = 37500000.0f; // the device's default (range 4000)

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Random 16-bit words: every phase equally likely from pixel to pixel. The
// plain code's library atan2 branches on the argument's range, so it is much
// faster on a real scene (neighbours alike, branches predicted) than here;
// the fast paths do not branch and take the same time on both.
void randomFrame(std::vector<uint16_t>& raw)
{
    uint32_t state = 0x2545F491u;
    for (uint16_t& w : raw) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        w = static_cast<uint16_t>(state);
    }
}

void phaseStages(const char* frameName, const std::vector<uint16_t>& raw)
{
    unsigned char* rawBytes = reinterpret_cast<unsigned char*>(const_cast<uint16_t*>(raw.data()));
    std::vector<float> refDepth(kPixels), refAmp(kPixels), refConf(kPixels);
    std::vector<float> depth(kPixels), amp(kPixels), conf(kPixels);
    auto plain = [&] {
        quorvexPlainPhaseToDepth(raw.data(), refDepth.data(), refAmp.data(), refConf.data(), kPixels, 0, 0,
                                 kFrequency);
        keep(refDepth.data());
    };
    plain();
    const auto exact = [&] {
        return sameBits(depth, refDepth) && sameBits(amp, refAmp) && sameBits(conf, refConf) ? "bit-exact"
                                                                                              : "DIFFERS";
    };

    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    auto devicePhase = [&] {
        device.getPhaseImage(rawBytes, depth.data(), amp.data(), conf.data());
        keep(depth.data());
    };
    Timing t = compare(devicePhase, plain, 31, 5);
    std::string name = std::string("hqvga getPhaseImage, ") + frameName;
    printRow(name.c_str(), "plain scalar phase-to-depth", t, exact());
    const std::string frameKey = figureKey(frameName);
    figure("hqvga.get_phase_image." + frameKey + ".ratio_to_plain", t.stageNs / t.baselineNs);
    figure("hqvga.get_phase_image." + frameKey + ".us", t.stageNs / 1000.0);

    for (PhaseToDepthBackend backend : phaseToDepthBackends()) {
        auto run = [&] {
            phaseToDepthWith(backend, raw.data(), depth.data(), amp.data(), conf.data(), kPixels, 0, false,
                             kFrequency);
            keep(depth.data());
        };
        t = compare(run, plain, 31, 5);
        name = std::string("  phase-to-depth [") + to_str(backend) + "], " + frameName;
        printRow(name.c_str(), "plain scalar phase-to-depth", t, exact());
        const std::string key = std::string("phase_to_depth.") + to_str(backend) + "." + frameKey;
        figure(key + ".ratio_to_plain", t.stageNs / t.baselineNs);
        figure(key + ".us", t.stageNs / 1000.0);
    }
}

} // namespace

int main()
{
    std::vector<uint16_t> raw(kQuorvexBenchFrameWords);
    std::vector<uint16_t> noise(kQuorvexBenchFrameWords);
    quorvexBenchFrame(raw.data(), 0);
    randomFrame(noise);

    printHeader();
    phaseStages("scene", raw);
    phaseStages("random words", noise);

    // getRawImages reads the four planes and writes as many 16-bit words.
    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    unsigned char* rawBytes = reinterpret_cast<unsigned char*>(raw.data());
    std::vector<short> rawOut(kQuorvexBenchFrameWords);
    std::vector<uint16_t> copy(kQuorvexBenchFrameWords);
    auto repack = [&] {
        device.getRawImages(rawBytes, rawOut.data());
        keep(rawOut.data());
    };
    auto memcpyTouched = [&] {
        std::memcpy(copy.data(), raw.data(), raw.size() * sizeof(uint16_t));
        keep(copy.data());
    };
    const Timing t = compare(repack, memcpyTouched, 51, 50);
    printRow("hqvga getRawImages", "memcpy of the bytes touched", t);
    figure("hqvga.get_raw_images.frame.ratio_to_memcpy", t.stageNs / t.baselineNs);
    figure("hqvga.get_raw_images.frame.us", t.stageNs / 1000.0);
    return writeFigures("hqvga_bench") ? 0 : 1;
}
