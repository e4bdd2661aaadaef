#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
    void renderLoop();
    void startRender();
    void storeImage(uint32_t k, uint8_t* out) const;
    bool pace(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs);
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
    Clock::time_point lastFrameAt;
    uint64_t frameBase = 0;
    uint64_t lastTimestamp = 0;
    int64_t timestampOffset = 0;

    std::mutex registerMutex;
    std::map<uint32_t, uint32_t> registers;
    std::vector<QuorvexRegisterWrite> writes;
    uint32_t writeCount = 0;
};

} // namespace quorvex_evk
