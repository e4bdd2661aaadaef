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

} // namespace

int main()
{
    std::vector<uint16_t> raw(kQuorvexBenchFrameWords);
    quorvexBenchFrame(raw.data(), 0);
    unsigned char* rawBytes = reinterpret_cast<unsigned char*>(raw.data());

    std::vector<float> refDepth(kPixels), refAmp(kPixels), refConf(kPixels);
    std::vector<float> depth(kPixels), amp(kPixels), conf(kPixels);
    auto plain = [&] {
        quorvexPlainPhaseToDepth(raw.data(), refDepth.data(), refAmp.data(), refConf.data(), kPixels, 0, 0,
                                 kFrequency);
        keep(refDepth.data());
    };
    plain();

    printHeader();
    QuorvexDeviceHQVGA device(BOARD_RASPBERRY_PI);
    auto devicePhase = [&] {
        device.getPhaseImage(rawBytes, depth.data(), amp.data(), conf.data());
        keep(depth.data());
    };
    Timing t = compare(devicePhase, plain, 31, 5);
    const bool exact = sameBits(depth, refDepth) && sameBits(amp, refAmp) && sameBits(conf, refConf);
    printRow("hqvga getPhaseImage", "plain scalar phase-to-depth", t, exact ? "bit-exact" : "DIFFERS");

    for (PhaseToDepthBackend backend : phaseToDepthBackends()) {
        auto run = [&] {
            phaseToDepthWith(backend, raw.data(), depth.data(), amp.data(), conf.data(), kPixels, 0, false,
                             kFrequency);
            keep(depth.data());
        };
        t = compare(run, plain, 31, 5);
        const std::string name = std::string("hqvga phase-to-depth [") + to_str(backend) + "]";
        const bool same = sameBits(depth, refDepth) && sameBits(amp, refAmp) && sameBits(conf, refConf);
        printRow(name.c_str(), "plain scalar phase-to-depth", t, same ? "bit-exact" : "DIFFERS");
    }

    // getRawImages reads the four planes and writes as many 16-bit words.
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
    t = compare(repack, memcpyTouched, 51, 50);
    printRow("hqvga getRawImages", "memcpy of the bytes touched", t);
    return 0;
}
