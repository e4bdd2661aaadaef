// The CSI converters against a memcpy of the bytes each one writes,
// measured in the same run.

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/BenchHarness.h"
#include "sensor/CsiConverters.h"

using namespace Quorvex;
using namespace Quorvex::bench;

namespace {

struct Case {
    const char* name;
    CsiConverter convert;
    size_t srcBytes;
    size_t dstBytes;
    uint32_t width;
};

void run(const Case& c)
{
    std::vector<uint8_t> src(c.srcBytes);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    std::vector<uint8_t> dst(c.dstBytes), copy(c.dstBytes);
    auto stage = [&] {
        size_t p = 0;
        c.convert(src.data(), dst.data(), src.size(), c.width, p, dst.size());
        keep(dst.data());
    };
    auto baseline = [&] {
        std::memcpy(copy.data(), src.data(), std::min(src.size(), copy.size()));
        if (copy.size() > src.size())
            std::memcpy(copy.data() + src.size(), src.data(), copy.size() - src.size());
        keep(copy.data());
    };
    const Timing t = compare(stage, baseline, 31, 20);
    printRow(c.name, "memcpy of the output", t);
    // "csi NAME, SIZE" -> csi.NAME.SIZE
    const std::string text = c.name;
    const size_t comma = text.find(", ");
    const std::string key = "csi." + figureKey(text.substr(4, comma - 4)) + "." + figureKey(text.substr(comma + 2));
    figure(key + ".us", t.stageNs / 1000.0);
    figure(key + ".ratio_to_memcpy", t.stageNs / t.baselineNs);
}

} // namespace

int main()
{
    // HQVGA: four sub-frames of 180 lines of 240 samples; the VGA 12-bit
    // frame: 2405 lines of 640 samples.
    constexpr size_t kHqvgaLines = 4 * 180;
    constexpr size_t kHqvgaBytes = kHqvgaLines * 480;
    constexpr uint32_t kVgaWidth = 640;
    constexpr size_t kVgaLines = 2405;
    printHeader();
    run({"csi copyPlain, 4 x 240x180", copyPlain, kHqvgaBytes, kHqvgaBytes, 240});
    run({"csi copyStride512, 4 x 240x180", copyStride512, kHqvgaLines * 512, kHqvgaBytes, 240});
    run({"csi copyBlock960, 4 x 240x180", copyBlock960, kHqvgaBytes, kHqvgaBytes, 240});
    run({"csi unpackY12P, 640x2405", unpackY12P, kVgaLines * y12pLineStride(kVgaWidth),
         kVgaLines * kVgaWidth * 2, kVgaWidth});
    return writeFigures("csi_bench") ? 0 : 1;
}
