// The simulated USB module's cost per frame: the realistic world
// (supersample 4, noise of its sensor model) against the ideal one (noise on,
// so that it renders every frame), measured in the same run, for both
// variants, and a moving realistic HQVGA frame against the same still ideal
// one. The realistic HQVGA module must deliver 30 frames per second on
// one core.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "bench/BenchHarness.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

using namespace Quorvex::bench;

namespace {

// An open, streaming module for a configuration text; closed when done.
class Module {
public:
    explicit Module(const std::string& text)
    {
        char name[] = "/tmp/quorvex-bench-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        path = name;
        std::ofstream(path) << "fps = 0\n" << text;
        QuorvexOpenParam param;
        QuorvexDefaultParam(&param);
        param.configPath = path.c_str();
        ok = QuorvexOpenCamera(&handle, &param) == QUORVEX_EVK_OK && QuorvexInitCamera(handle) == QUORVEX_EVK_OK &&
             QuorvexGetCameraConfig(handle, &config) == QUORVEX_EVK_OK && QuorvexStartCamera(handle) == QUORVEX_EVK_OK;
    }
    ~Module()
    {
        if (handle)
            QuorvexCloseCamera(handle);
        std::remove(path.c_str());
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // One whole frame: every image captured and handed back.
    void frame()
    {
        for (uint32_t k = 0; k < config.imagesPerFrame; ++k) {
            QuorvexImage image;
            if (QuorvexCaptureImage(handle, &image, 1000) == QUORVEX_EVK_OK) {
                keep(image.data);
                QuorvexFreeImage(handle, image);
            }
        }
    }

    bool ok = false;

private:
    std::string path;
    QuorvexCameraHandle handle = nullptr;
    QuorvexCameraConfig config{};
};

// `key`: the figures' name, sim.realistic.SIZE.CASE; `scene`: what the
// realistic world is given beyond the variant (motion exists only there:
// the ideal world stands still).
void run(const char* name, const std::string& key, const std::string& variant, int calls,
         const std::string& scene = "")
{
    Module ideal(variant + "noise = 2\n");
    Module realistic(variant + "physics = realistic\nsupersample = 4\n" + scene);
    if (!ideal.ok || !realistic.ok) {
        std::printf("%-44s could not open the simulated module\n", name);
        return;
    }
    // The first frame traces the scene; measured from the second on.
    realistic.frame();
    const Timing t = compare([&] { realistic.frame(); }, [&] { ideal.frame(); }, 11, calls);
    printRow(name, "ideal (noise 2)", t);
    std::printf("%-44s %9.1f frames per second on one core\n", "", 1e9 / t.stageNs);
    figure(key + "_ms", t.stageNs / 1e6);
    figure(key + "_ratio_to_ideal", t.stageNs / t.baselineNs);
}

} // namespace

int main()
{
    printHeader();
    run("simulated HQVGA frame, realistic ss 4", "sim.realistic.hqvga.still", "", 10);
    // The box scene moving right by 10 mm a frame (the realistic world moves it
    // between sub-frames too): each frame's scene differs from the last.
    run("simulated HQVGA frame, moving, realistic ss 4", "sim.realistic.hqvga.moving", "", 1,
        "scene = box\nmotion = 10\nmotion_direction = right\n");
    run("simulated VGA 640x480 frame, realistic ss 4", "sim.realistic.vga.still", "variant = vga\n", 3);
    return writeFigures("sim_render_bench") ? 0 : 1;
}
