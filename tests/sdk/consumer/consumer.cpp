// A program of a library user, built against the installed tree only: every
// installed header must compile on its own include path, the exported C
// helpers and the camera must link, and a simulated USB module must stream.
#include <cstdio>
#include <cstring>
#include <vector>

#include <camera/QuorvexFrameBuffer.h>
#include <camera/QuorvexTOFCamera.h>
#include <camera/TofTypes.h>
#include <filters/FilterChain.h>
#include <sensor/BoardKind.h>
#include <sensor/i2c_helpers.h>

using namespace Quorvex;

namespace {

int fail(const char* what, TofErrorCode status)
{
    std::fprintf(stderr, "consumer: %s: %s\n", what, to_str(status));
    return 1;
}

} // namespace

int main()
{
    // No such bus on any machine: the C helper answers -1, quietly.
    char name[32];
    if (i2c_open_i2c_dev(9999, name, sizeof name, 1) != -1 || std::strcmp(name, "/dev/i2c-9999") != 0) {
        std::fprintf(stderr, "consumer: i2c_open_i2c_dev did not refuse a missing bus\n");
        return 1;
    }

    QuorvexTOFCamera camera;
    TofErrorCode status = camera.open(Connection::USB, 0);
    if (status != QuorvexSuccess)
        return fail("open", status);
    status = camera.start(FrameType::DEPTH);
    if (status != QuorvexSuccess)
        return fail("start", status);

    int range = 0;
    status = camera.getControl(CameraCtrl::RANGE, &range);
    if (status != QuorvexSuccess)
        return fail("getControl(RANGE)", status);
    // The installed filters, into a plane of our own: their output is a
    // depth or 0 at every pixel.
    FilterChain filters;
    std::vector<float> filtered;
    int good = 0;
    float centre = 0.0f;
    for (int attempt = 0; attempt < 20 && good < 3; ++attempt) {
        QuorvexFrameBuffer* frame = camera.requestFrame(1000);
        if (!frame)
            continue;
        FrameDataFormat format{};
        const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        if (depth && frame->getFormat(FrameType::DEPTH, format) == QuorvexSuccess && format.width > 0
            && format.height > 0) {
            centre = depth[(format.height / 2) * format.width + format.width / 2];
            const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
            const int w = format.width, h = format.height;
            filtered.resize(static_cast<size_t>(w) * h);
            if (!amplitude)
                return fail("getData(AMPLITUDE)", QuorvexInvalidParameter);
            status = filters.apply({{depth, w, h}, {amplitude, w, h}, static_cast<float>(range)}, {filtered.data(), w, h});
            if (status != QuorvexSuccess)
                return fail("FilterChain::apply", status);
            for (float d : filtered)
                if (!(d == 0.0f || (d > 0.0f && d <= kFilterMaxDepthMm))) {
                    std::fprintf(stderr, "consumer: filtered depth %g\n", double(d));
                    return 1;
                }
            ++good;
        }
        status = camera.releaseFrame(frame);
        if (status != QuorvexSuccess)
            return fail("releaseFrame", status);
    }
    camera.stop();
    status = camera.close();
    if (status != QuorvexSuccess)
        return fail("close", status);
    // The simulated scene puts something between a few centimetres and a
    // few metres in front of the module: anything else is a frame of garbage.
    if (good < 3 || !(centre > 10.0f && centre < 10000.0f)) {
        std::fprintf(stderr, "consumer: %d depth frames, centre %.1f mm\n", good, double(centre));
        return 1;
    }
    std::printf("consumer: %d depth frames, centre %.1f mm, %s\n", good, double(centre),
                to_str(QuorvexSuccess));
    return 0;
}
