#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SensorPhysics.h"

namespace quorvex_evk {

enum class Variant { HQVGA, VGA };

// WALL is turned about the vertical axis (depth grows across the image);
// FLAT faces the camera square on.
enum class SceneChoice { WALL, FLAT, SPHERE, BOX, CORNER, STEPS, CHECKERBOARD, PATTERN };

// What the simulated module is and how it misbehaves. The defaults are the
// module a plain open gets: HQVGA at 30 frames per second looking at a
// tilted wall, noiseless.
struct ModuleConfig {
    Variant variant = Variant::HQVGA;
    // Depth image size: 240 x 180 on HQVGA; 640 x 480 or 320 x 240 on VGA.
    uint32_t width = 240;
    uint32_t height = 180;
    // 0: images as fast as they are asked for.
    uint32_t fps = 30;
    bool dualFrequency = false;
    SceneChoice scene = SceneChoice::WALL;
    // Wall (or background) distance at the image centre, millimetres.
    double distanceMm = 1500.0;
    // The scene moves this far away from the camera with every frame, and
    // back again after `motionPeriod` frames (sawtooth).
    double motionMm = 0.0;
    uint32_t motionPeriod = 10;
    Quorvex::sim::MotionDirection motionDirection = Quorvex::sim::MotionDirection::AWAY;
    // The world the module sees: ideal unless `physics = realistic`, whose
    // documented values the other physics keys override.
    Quorvex::sim::PhysicsSettings physics;
    // The lens (`lens_*` keys): without any of them the nominal pinhole;
    // with some, the others default to the nominal lens's values.
    bool hasLens = false;
    Quorvex::sim::LensModel lens;
    // The checkerboard: inner corners across and down, square side.
    int boardCols = 9;
    int boardRows = 6;
    double boardSquareMm = 30.0;
    // Per-sample noise, in 12-bit sample units; drawn from `seed`.
    double noise = 0.0;
    uint64_t seed = 1;
    uint32_t bitWidth = 12;
    uint32_t bytesPerSample = 2;

    // The module's clock and its delivery. Its clock runs this many parts
    // per million fast (negative: slow) against the host's, and frames are
    // paced by it; an image reaches the caller no earlier than `latencyMs`
    // plus a uniform random 0 ... `latencyJitterMs` (drawn per frame, from
    // `seed`) after the instant it was stamped. An unpaced module (fps 0)
    // delivers at once.
    double clockDriftPpm = 0.0;
    double latencyMs = 0.0;
    double latencyJitterMs = 0.0;
    // Where to append "<timestamp> <true CLOCK_MONOTONIC ns>" for every
    // image stamped; empty: nowhere.
    std::string clockTruth;

    // Fault injection. Capture numbers count QuorvexCaptureImage calls
    // since open, from 1.
    std::vector<uint64_t> timestamps;    // timestamps of the first images, in order
    std::vector<uint64_t> timeoutAt;     // these captures time out; their image is lost
    std::vector<uint64_t> wrongSizeAt;   // these captures deliver an image one row short
    std::vector<uint64_t> gapAt;         // the clock jumps 50 ms ahead before these
    std::vector<uint64_t> resetAt;       // the clock restarts from 0 at these
    bool unplugged = false;              // every capture fails
    uint64_t unplugAfter = 0;            // captures after this many fail (0: never)
    bool failInit = false;
    bool failStart = false;
};

// Parses a configuration text. `name` is what messages call the file. On
// failure returns false with `error` set to one line naming file, line and
// key; `out` is then unspecified.
bool parseModuleConfig(const std::string& text, const std::string& name, ModuleConfig& out,
                       std::string& error);

// Reads and parses the file at `path`.
bool loadModuleConfig(const char* path, ModuleConfig& out, std::string& error);

} // namespace quorvex_evk
