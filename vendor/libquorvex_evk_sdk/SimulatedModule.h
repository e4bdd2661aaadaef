#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "sim/SceneModel.h"
#include "sim/SensorPhysics.h"
#include "vendor/libquorvex_evk_sdk/EvkConfig.h"
#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

namespace quorvex_evk {

// A depth module on the USB bus, as far as the library's callers can tell:
// it renders the configured scene through the project's scene model, paces
// frames at the configured rate, stamps images with its own millisecond
// clock, lends out images from a fixed pool and injects the configured
// faults. Register writes may arrive from any thread.
//
// Its clock is exact: each image has a true capture instant T on the host's
// monotonic clock, its timestamp is the module's clock at T (start value,
// drift, injected gaps and restarts) rounded down to whole milliseconds,
// and it is handed out no earlier than T plus the configured latency and
// jitter. The next frame is rendered while the current one is handed out,
// so rendering adds no delay of its own unless it takes longer than a
// frame's period; then T is when the frame is there.
//
// Frames of the realistic world are rendered on a thread of the module's
// own: a heavy world takes minutes per frame, while a capture waits for it
// only a short while before answering a time-out, and stop() abandons the
// frame being rendered. A camera stopping between two captures is thus
// never held up by the world. The ideal world renders in line.
class SimulatedModule {
public:
    SimulatedModule(const ModuleConfig& config, uint32_t queueDepth);
    ~SimulatedModule();
    SimulatedModule(const SimulatedModule&) = delete;
    SimulatedModule& operator=(const SimulatedModule&) = delete;

    // The scene a configuration describes (not meaningful for the pattern).
    static Quorvex::sim::SceneKind sceneKindOf(const ModuleConfig& config);
    static Quorvex::sim::SceneParams sceneParamsOf(const ModuleConfig& config);
    static Quorvex::sim::SceneMotion sceneMotionOf(const ModuleConfig& config);

    int init();
    int start();
    int stop();
    void describe(QuorvexCameraConfig& out);
    int capture(QuorvexImage& image, uint32_t timeoutMs);
    int release(const QuorvexImage& image);
    int writeRegister(uint32_t reg, uint32_t value);

    void debugState(QuorvexDebugState& state);
    uint32_t registerLog(QuorvexRegisterWrite* writes, uint32_t capacity);

    // Register 0x216C divides the module's 600 MHz clock down to the
    // modulation frequency: 0x10 gives 37.5 MHz (4000 mm unambiguous), 0x08
    // gives 75 MHz (2000 mm), which also rotates the phase order of the four
    // images (see sim/SceneModel.h).
    static constexpr uint32_t kModulationRegister = 0x216C;
    static constexpr uint32_t kDefaultDivider = 0x10;

private:
    using Clock = std::chrono::steady_clock;

    struct Slot {
        std::vector<uint8_t> bytes;
        bool held = false;
    };

    uint32_t imagesPerFrame() const;
    uint32_t imageRows() const;
    size_t imageBytes() const;
    uint32_t modulationDivider();
    // Renders frame `f` into frameWords; false when cancelled part way.
    bool renderFrame(uint32_t f);
    // Begins the next frame's render: on the render thread for the
    // realistic world, in line (and Ready on return) otherwise.
    void prepareFrame();
    void renderLoop();
    void startRender();
    // The module's clock (ns) at host instant `t`, before gaps and restarts,
    // and the host instant at which it reads `moduleNs`.
    int64_t moduleNsAt(Clock::time_point t) const;
    Clock::time_point hostAt(int64_t moduleNs) const;
    // Waits until `due` or the caller's deadline; false if it was not
    // reached (time-out or stop).
    bool waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due, Clock::time_point deadline);
    void writeTruth(uint64_t timestamp, Clock::time_point t);
    void storeImage(uint32_t k, uint8_t* out) const;
    void faultDelay(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs);

    const ModuleConfig config;
    const uint32_t queueDepth;
    const Clock::time_point openedAt;

    std::mutex streamMutex;
    std::condition_variable streamWake;
    bool initialised = false;
    bool streaming = false;
    Quorvex::sim::Scene scene;
    Quorvex::sim::Scene movedScene;
    Quorvex::sim::NoiseSource noise;
    // The realistic world, when the configuration asks for it.
    std::unique_ptr<Quorvex::sim::PhysicalWorld> world;
    // The ideal world's checkerboard, posed anew for each frame.
    std::unique_ptr<Quorvex::sim::SceneGeometry> board;
    double gain = 600.0;
    uint32_t renderedDivider = 0;
    // 12-bit words of every image of the current frame, image after image.
    std::vector<uint16_t> frameWords;
    std::vector<Slot> slots;
    uint64_t captureCalls = 0;
    uint64_t imagesDelivered = 0;
    uint64_t imagesMade = 0;
    uint32_t framesRendered = 0;
    // The render of the next frame, guarded by streamMutex. While it runs
    // only the render thread touches the world, the noise and frameWords.
    enum class Render { Idle, Running, Ready };
    Render render = Render::Idle;
    bool renderRequested = false;
    bool quitting = false;
    std::condition_variable renderWake;
    std::atomic<bool> cancelRender{false};
    std::thread renderer;
    uint32_t nextImage = 0;
    bool haveFrame = false;
    // When the last render was done, which the frame's instant cannot precede.
    Clock::time_point renderedAt;
    Clock::time_point lastFrameAt;
    // Module clock (ns) at the current frame's first image.
    int64_t frameBaseNs = 0;
    uint64_t lastTimestamp = 0;
    // Gaps and restarts, added to the module's clock (ns).
    int64_t clockOffsetNs = 0;
    // The current frame's extra delay.
    Clock::duration frameDelay{};
    std::mt19937_64 jitterSource;
    std::FILE* truth = nullptr;

    std::mutex registerMutex;
    std::map<uint32_t, uint32_t> registers;
    std::vector<QuorvexRegisterWrite> writes;
    uint32_t writeCount = 0;
};

} // namespace quorvex_evk
