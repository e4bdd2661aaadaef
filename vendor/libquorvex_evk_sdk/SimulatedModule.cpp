#include "vendor/libquorvex_evk_sdk/SimulatedModule.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "common/ByteOrder.h"
#include "sim/VgaFrames.h"
#include "vendor/libsi4c/si4c.h"

namespace quorvex_evk {

namespace sim = Quorvex::sim;

namespace {

constexpr double kModuleClockHz = 600e6;
// Frames are at least this far apart on the module's clock even when they
// are read faster, so a reader can always tell them apart from the images
// of one frame (1 ms apart).
constexpr uint64_t kMinFrameSpacingMs = 10;
constexpr int64_t kGapNs = 50000000;
constexpr int64_t kNsPerMs = 1000000;
// Seeds the delivery jitter apart from the image noise, so that a jitter
// setting leaves the frames of a seed as they are.
constexpr uint64_t kJitterSeedMix = 0x9E3779B97F4A7C15ull;
// The clock starts here so that no image of a fresh module reads 0.
constexpr uint64_t kClockStartMs = 1000;
// A failing capture takes this long (or the caller's time-out, if shorter):
// long enough that a reader retrying at once does not spin, short enough for
// tests. A real time-out would take the caller's whole time-out.
constexpr auto kFaultDelay = std::chrono::milliseconds(5);
// Exposure of the ideal world: the amplitude the brightest point of a scene
// is given, near the top of the converter's range (HQVGA samples saturate at
// +-1023, VGA samples at 4095 over a dark level of 2048 plus ambient), and
// the amplitude of a perfect reflector at 1 m where the scene sends nothing
// back.
constexpr double kEmptySceneGain = 600.0;
constexpr double kBrightestHqvga = 900.0;
constexpr double kBrightestVga = 1500.0;
// Kept writes; the count goes on beyond it.
constexpr size_t kRegisterLogCapacity = 4096;
// A capture waits this long at most for a frame of the realistic world
// being rendered before it answers a time-out: the camera's stop waits for
// the capture in progress, and a VGA close then waits 500 ms of its own.
constexpr auto kRenderWait = std::chrono::milliseconds(250);
// renderedDivider of a frame not rendered whole.
constexpr uint32_t kNoDivider = 0xFFFFFFFFu;

bool contains(const std::vector<uint64_t>& list, uint64_t n)
{
    return std::find(list.begin(), list.end(), n) != list.end();
}


void copyText(char* dst, size_t size, const char* text)
{
    std::memset(dst, 0, size);
    std::strncpy(dst, text, size - 1);
}

} // namespace

sim::SceneKind SimulatedModule::sceneKindOf(const ModuleConfig& config)
{
    switch (config.scene) {
    case SceneChoice::SPHERE:
        return sim::SceneKind::SPHERE;
    case SceneChoice::BOX:
        return sim::SceneKind::BOX;
    case SceneChoice::CORNER:
        return sim::SceneKind::CORNER;
    case SceneChoice::STEPS:
        return sim::SceneKind::STEPS;
    case SceneChoice::CHECKERBOARD:
        return sim::SceneKind::CHECKERBOARD;
    default:
        return sim::SceneKind::TILTED_WALL;
    }
}

sim::SceneParams SimulatedModule::sceneParamsOf(const ModuleConfig& config)
{
    sim::SceneParams params;
    params.distanceMm = config.distanceMm;
    if (config.scene == SceneChoice::FLAT)
        params.tiltDeg = 0.0;
    // Objects stand in front of the wall whatever its distance.
    params.objectDistanceMm = std::min(params.objectDistanceMm, config.distanceMm * 2.0 / 3.0);
    params.objectSizeMm = std::min(params.objectSizeMm, params.objectDistanceMm / 3.0);
    params.hasLens = config.hasLens;
    params.lens = config.lens;
    params.boardCols = config.boardCols;
    params.boardRows = config.boardRows;
    params.boardSquareMm = config.boardSquareMm;
    return params;
}

sim::SceneMotion SimulatedModule::sceneMotionOf(const ModuleConfig& config)
{
    sim::SceneMotion motion;
    motion.direction = config.motionDirection;
    motion.mmPerFrame = config.motionMm;
    motion.period = config.motionPeriod;
    // An unpaced module is read as fast as it goes: its scene moves as at
    // 30 frames per second.
    motion.framePeriodMs = 1000.0 / (config.fps > 0 ? config.fps : 30);
    return motion;
}

SimulatedModule::SimulatedModule(const ModuleConfig& c, uint32_t depth)
    : config(c), queueDepth(depth), openedAt(Clock::now()), noise(c.seed), jitterSource(c.seed ^ kJitterSeedMix)
{
}

SimulatedModule::~SimulatedModule()
{
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        quitting = true;
        cancelRender.store(true);
    }
    renderWake.notify_all();
    if (renderer.joinable())
        renderer.join();
    if (truth)
        std::fclose(truth);
}

int64_t SimulatedModule::moduleNsAt(Clock::time_point t) const
{
    const double elapsed = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t - openedAt).count());
    return static_cast<int64_t>(kClockStartMs) * kNsPerMs +
           std::llround(elapsed * (1.0 + config.clockDriftPpm * 1e-6));
}

SimulatedModule::Clock::time_point SimulatedModule::hostAt(int64_t moduleNs) const
{
    const double elapsed = static_cast<double>(moduleNs - static_cast<int64_t>(kClockStartMs) * kNsPerMs);
    return openedAt + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::nanoseconds(std::llround(elapsed / (1.0 + config.clockDriftPpm * 1e-6))));
}

void SimulatedModule::writeTruth(uint64_t timestamp, Clock::time_point t)
{
    if (!truth)
        return;
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    std::fprintf(truth, "%llu %lld\n", static_cast<unsigned long long>(timestamp), ns);
}

uint32_t SimulatedModule::imagesPerFrame() const
{
    return config.variant == Variant::HQVGA ? 4 : 1;
}

uint32_t SimulatedModule::imageRows() const
{
    if (config.variant == Variant::HQVGA)
        return config.height;
    // One embedded-data row per sub-frame, five sub-frames per frequency.
    return (config.height + 1) * 5 * (config.dualFrequency ? 2 : 1);
}

size_t SimulatedModule::imageBytes() const
{
    return static_cast<size_t>(config.width) * imageRows() * config.bytesPerSample;
}

int SimulatedModule::init()
{
    std::lock_guard<std::mutex> lock(streamMutex);
    if (config.failInit)
        return QUORVEX_EVK_NO_DEVICE;
    if (initialised)
        return QUORVEX_EVK_OK;
    if (config.scene != SceneChoice::PATTERN && config.physics.realistic) {
        // A real module's exposure is its own, not fitted to the scene:
        // near bright surfaces saturate.
        world = std::make_unique<sim::PhysicalWorld>(sceneKindOf(config), sceneParamsOf(config),
                                                     static_cast<int>(config.width),
                                                     static_cast<int>(config.height), config.physics,
                                                     sceneMotionOf(config));
        world->setCancel(&cancelRender);
    } else if (config.scene != SceneChoice::PATTERN) {
        scene = sim::makeScene(sceneKindOf(config), static_cast<int>(config.width),
                               static_cast<int>(config.height), sceneParamsOf(config));
        movedScene = scene;
        if (config.scene == SceneChoice::CHECKERBOARD)
            board = std::make_unique<sim::SceneGeometry>(sceneKindOf(config), sceneParamsOf(config));
        // Exposure is set once for the scene: its brightest point, at the
        // nearest it comes, stays below saturation.
        const double nearest = std::min(0.0, config.motionMm * (config.motionPeriod - 1));
        double brightest = 0.0;
        for (const sim::ScenePixel& px : scene.pixels) {
            const double metres = std::max(0.001, (px.depthMm + nearest) / 1000.0);
            brightest = std::max(brightest, px.reflectivity / (metres * metres));
        }
        // The board comes as near as half a metre in its other poses.
        if (board)
            brightest = std::max(brightest, sceneParamsOf(config).boardBright / 0.25);
        // Not capped: a far or dark scene exposed at a near one's gain keeps
        // its samples in the converter's lowest bits, and the rounding of
        // 100-odd sample units alone puts millimetre steps into its depth.
        const double target = config.variant == Variant::HQVGA ? kBrightestHqvga : kBrightestVga;
        gain = brightest > 0.0 ? target / brightest : kEmptySceneGain;
    }
    if (!config.clockTruth.empty() && !truth) {
        truth = std::fopen(config.clockTruth.c_str(), "a");
        if (!truth) {
            std::fprintf(stderr, "quorvex_evk_sdk: %s: cannot open the clock truth file: %s\n",
                         config.clockTruth.c_str(), std::strerror(errno));
            return QUORVEX_EVK_BAD_CONFIGURATION;
        }
    }
    frameWords.assign(static_cast<size_t>(config.width) * imageRows() * imagesPerFrame(), 0);
    slots.resize(queueDepth);
    for (Slot& slot : slots)
        slot.bytes.assign(imageBytes(), 0);
    initialised = true;
    return QUORVEX_EVK_OK;
}

int SimulatedModule::start()
{
    std::lock_guard<std::mutex> lock(streamMutex);
    if (!initialised)
        return QUORVEX_EVK_WRONG_STATE;
    if (config.failStart)
        return QUORVEX_EVK_NO_DEVICE;
    streaming = true;
    // A new stream begins with the first image of a new frame, rendered
    // for it.
    nextImage = imagesPerFrame();
    if (render == Render::Ready)
        render = Render::Idle;
    return QUORVEX_EVK_OK;
}

int SimulatedModule::stop()
{
    // Raised before the lock is taken: the render thread does not hold it
    // while it renders, but a capture may wait on it.
    cancelRender.store(true);
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        streaming = false;
        if (truth)
            std::fflush(truth);
    }
    streamWake.notify_all();
    return QUORVEX_EVK_OK;
}

void SimulatedModule::startRender()
{
    cancelRender.store(false);
    render = Render::Running;
    renderRequested = true;
    if (!renderer.joinable())
        renderer = std::thread(&SimulatedModule::renderLoop, this);
    renderWake.notify_one();
}

void SimulatedModule::prepareFrame()
{
    if (world) {
        startRender();
        return;
    }
    // The ideal world and the pattern take milliseconds: rendered in line,
    // as a module's next frame is simply there.
    renderFrame(framesRendered);
    render = Render::Ready;
    renderedAt = Clock::now();
}

void SimulatedModule::renderLoop()
{
    std::unique_lock<std::mutex> lock(streamMutex);
    for (;;) {
        renderWake.wait(lock, [&] { return renderRequested || quitting; });
        if (quitting)
            return;
        renderRequested = false;
        const uint32_t f = framesRendered;
        lock.unlock();
        const bool complete = renderFrame(f);
        lock.lock();
        render = complete ? Render::Ready : Render::Idle;
        renderedAt = Clock::now();
        streamWake.notify_all();
    }
}

uint32_t SimulatedModule::modulationDivider()
{
    std::lock_guard<std::mutex> lock(registerMutex);
    const auto it = registers.find(kModulationRegister);
    const uint32_t divider = it == registers.end() ? kDefaultDivider : it->second;
    return divider >= 1 && divider <= 255 ? divider : kDefaultDivider;
}

void SimulatedModule::describe(QuorvexCameraConfig& out)
{
    std::memset(&out, 0, sizeof out);
    const bool hqvga = config.variant == Variant::HQVGA;
    copyText(out.model, sizeof out.model, hqvga ? "QVX-HQVGA-USB (simulated)" : "QVX-VGA-USB (simulated)");
    copyText(out.serial, sizeof out.serial, "SIM-0001");
    out.framesPerSecond = config.fps;
    out.modulationKHz = hqvga ? static_cast<uint32_t>(kModuleClockHz / modulationDivider() / 1000.0)
                              : static_cast<uint32_t>(SI4C_FREQ1_HZ / 1000.0);
    out.imagesPerFrame = imagesPerFrame();
    out.frequencyCount = config.dualFrequency ? 2 : 1;
    out.width = config.width;
    out.height = imageRows();
    out.bitWidth = static_cast<uint8_t>(config.bitWidth);
    out.bytesPerSample = static_cast<uint8_t>(config.bytesPerSample);
}

bool SimulatedModule::renderFrame(uint32_t f)
{
    const size_t pixels = static_cast<size_t>(config.width) * config.height;
    if (config.scene == SceneChoice::PATTERN) {
        // Samples that say where they belong, in the module's own bit width:
        // readers can check every sample's place in their output.
        const uint32_t mask = config.bytesPerSample == 1 ? 0xFFu : (1u << config.bitWidth) - 1u;
        const size_t perImage = static_cast<size_t>(config.width) * imageRows();
        for (uint32_t k = 0; k < imagesPerFrame(); ++k)
            for (size_t n = 0; n < perImage; ++n)
                frameWords[k * perImage + n] = static_cast<uint16_t>((n * 7 + k * 1000 + f * 3) & mask);
        return true;
    }
    // A still, noiseless scene looks the same in every frame at the same
    // modulation: render it once.
    const uint32_t divider = config.variant == Variant::HQVGA ? modulationDivider() : 0;
    const bool noiseless = world ? !config.physics.shotNoise && config.physics.readNoiseE == 0.0
                                 : config.noise == 0.0;
    const bool posed = config.scene == SceneChoice::CHECKERBOARD;
    if (f > 0 && config.motionMm == 0.0 && !posed && noiseless && divider == renderedDivider)
        return true;
    if (world) {
        const bool complete =
            config.variant == Variant::HQVGA
                ? world->renderHqvga(f, kModuleClockHz / divider, divider == 0x08 ? 2000 : 4000, 0,
                                     frameWords.data(), noise)
                : sim::renderVgaFrame(*world, f, !config.dualFrequency, frameWords.data(), noise);
        renderedDivider = complete ? divider : kNoDivider;
        return complete;
    }
    // The ideal world renders in a few milliseconds: nothing to cancel.
    renderedDivider = divider;
    if (board) {
        board->setFrame(f);
        sim::renderScene(*board, scene);
    }
    const sim::Scene* view = &scene;
    if (config.motionMm != 0.0) {
        const double offset = config.motionMm * (f % config.motionPeriod);
        for (size_t n = 0; n < pixels; ++n)
            movedScene.pixels[n].depthMm =
                static_cast<float>(std::max(1.0, scene.pixels[n].depthMm + offset));
        view = &movedScene;
    }
    sim::CorrelationModel model;
    model.gainAt1m = gain;
    model.noise = config.noise;
    if (config.variant == Variant::HQVGA) {
        // The 75 MHz setting is what the near range table selects; the
        // phase order follows it.
        const int rangeMm = divider == 0x08 ? 2000 : 4000;
        sim::renderHqvgaSubFrames(*view, kModuleClockHz / divider, rangeMm, 0, frameWords.data(),
                                  model, config.noise > 0.0 ? &noise : nullptr);
        return true;
    }
    sim::VgaLight light;
    light.model.gainAt1m = gain;
    light.model.noise = config.noise;
    sim::renderVgaFrame(*view, static_cast<int>(config.width), static_cast<int>(config.height),
                        !config.dualFrequency, frameWords.data(), light,
                        config.noise > 0.0 ? &noise : nullptr);
    return true;
}

void SimulatedModule::storeImage(uint32_t k, uint8_t* out) const
{
    const size_t samples = static_cast<size_t>(config.width) * imageRows();
    const uint16_t* words = frameWords.data() + k * samples;
    const bool pattern = config.scene == SceneChoice::PATTERN;
    if (config.bytesPerSample == 1) {
        for (size_t n = 0; n < samples; ++n)
            out[n] = static_cast<uint8_t>(pattern ? words[n] : words[n] >> 4);
        return;
    }
    for (size_t n = 0; n < samples; ++n) {
        uint32_t v = words[n];
        // Scene samples are 12-bit words; a module of another bit width
        // delivers them at its own precision.
        if (!pattern) {
            if (config.bitWidth < 12)
                v >>= 12 - config.bitWidth;
            else
                v <<= config.bitWidth - 12;
        }
        Quorvex::storeLe16(out + 2 * n, static_cast<uint16_t>(v));
    }
}

bool SimulatedModule::waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due,
                                Clock::time_point deadline)
{
    if (due <= Clock::now())
        return true;
    streamWake.wait_until(lock, std::min(due, deadline), [&] { return !streaming; });
    return streaming && Clock::now() >= due;
}

void SimulatedModule::faultDelay(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs)
{
    const auto delay = std::min<std::chrono::milliseconds>(kFaultDelay, std::chrono::milliseconds(timeoutMs));
    streamWake.wait_for(lock, delay, [&] { return !streaming; });
}

int SimulatedModule::capture(QuorvexImage& image, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(streamMutex);
    const uint64_t n = ++captureCalls;
    if (!streaming)
        return QUORVEX_EVK_WRONG_STATE;
    if (config.unplugged || (config.unplugAfter != 0 && n > config.unplugAfter)) {
        faultDelay(lock, timeoutMs);
        return QUORVEX_EVK_NO_DEVICE;
    }

    const Clock::time_point called = Clock::now();
    const Clock::time_point deadline = called + std::chrono::milliseconds(timeoutMs);
    const bool paced = config.fps > 0;
    const double rate = 1.0 + config.clockDriftPpm * 1e-6;
    if (nextImage >= imagesPerFrame()) {
        // The frame is rendered while its instant is still ahead (the
        // realistic world on its own thread, from the moment the previous
        // frame's images are out); a modulation change that comes meanwhile
        // is rendered again.
        if (render == Render::Idle)
            prepareFrame();
        // Frames follow the module's own clock: its period is shorter on the
        // host's clock when the module runs fast.
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
            std::llround(static_cast<double>(1000000 / std::max<uint32_t>(config.fps, 1)) * 1000.0 / rate)));
        const Clock::time_point due = lastFrameAt + period;
        if (paced && haveFrame && !waitUntil(lock, due, deadline))
            return streaming ? QUORVEX_EVK_TIMEOUT : QUORVEX_EVK_WRONG_STATE;
        for (;;) {
            if (render == Render::Running)
                streamWake.wait_until(lock, std::min(deadline, Clock::now() + kRenderWait),
                                      [&] { return render != Render::Running || !streaming; });
            if (!streaming)
                return QUORVEX_EVK_WRONG_STATE;
            // Still rendering, or a render abandoned by a stop and start
            // meanwhile (the next call begins the frame again).
            if (render != Render::Ready)
                return QUORVEX_EVK_TIMEOUT;
            if (config.variant != Variant::HQVGA || config.scene == SceneChoice::PATTERN ||
                modulationDivider() == renderedDivider)
                break;
            prepareFrame();
        }
        render = Render::Idle;
        // Asked for in time, the frame is captured when due; asked for late,
        // or rendered late, when it is there.
        Clock::time_point at = std::max(called, renderedAt);
        if (paced && haveFrame)
            at = std::max(at, due);
        int64_t base = moduleNsAt(at);
        if (haveFrame) {
            int64_t earliest = frameBaseNs + static_cast<int64_t>(kMinFrameSpacingMs) * kNsPerMs;
            // Scripted timestamps may have run ahead of the clock.
            earliest = std::max(earliest, static_cast<int64_t>(lastTimestamp + kMinFrameSpacingMs) * kNsPerMs -
                                              clockOffsetNs);
            if (base < earliest) {
                base = earliest;
                at = hostAt(base);
            }
        }
        frameBaseNs = base;
        lastFrameAt = at;
        haveFrame = true;
        ++framesRendered;
        frameDelay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
            config.latencyMs +
            (config.latencyJitterMs > 0.0
                 ? std::uniform_real_distribution<double>(0.0, config.latencyJitterMs)(jitterSource)
                 : 0.0)));
        nextImage = 0;
    }

    // Images of a frame are 1 ms apart on the module's clock.
    const uint32_t k = nextImage;
    const int64_t imageNs = frameBaseNs + static_cast<int64_t>(k) * kNsPerMs;
    const Clock::time_point capturedAt =
        lastFrameAt + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::nanoseconds(std::llround(static_cast<double>(k) * kNsPerMs / rate)));
    if (paced && !waitUntil(lock, capturedAt + frameDelay, deadline))
        return streaming ? QUORVEX_EVK_TIMEOUT : QUORVEX_EVK_WRONG_STATE;
    ++nextImage;
    const uint64_t made = imagesMade++;
    if (contains(config.gapAt, n))
        clockOffsetNs += kGapNs;
    if (contains(config.resetAt, n))
        clockOffsetNs = -imageNs;
    const int64_t clockNs = imageNs + clockOffsetNs;
    uint64_t timestamp = clockNs > 0 ? static_cast<uint64_t>(clockNs / kNsPerMs) : 0;
    if (made < config.timestamps.size())
        timestamp = config.timestamps[made];
    writeTruth(timestamp, capturedAt);

    if (contains(config.timeoutAt, n)) {
        faultDelay(lock, timeoutMs);
        return QUORVEX_EVK_TIMEOUT;
    }
    const auto slot = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return !s.held; });
    if (slot == slots.end())
        return QUORVEX_EVK_NO_BUFFER;

    storeImage(k, slot->bytes.data());
    slot->held = true;
    lastTimestamp = timestamp;
    ++imagesDelivered;
    // The next frame's render begins as soon as this one's last image is
    // out: it is then ready by its instant unless it takes a whole period.
    if (nextImage >= imagesPerFrame() && world && render == Render::Idle)
        startRender();

    std::memset(&image, 0, sizeof image);
    image.frameNumber = framesRendered - 1;
    image.imageIndex = k;
    image.timestamp = timestamp;
    image.width = config.width;
    image.height = imageRows();
    image.dataSize = static_cast<uint32_t>(imageBytes());
    if (contains(config.wrongSizeAt, n))
        image.dataSize -= config.width * config.bytesPerSample;
    image.data = slot->bytes.data();
    return QUORVEX_EVK_OK;
}

int SimulatedModule::release(const QuorvexImage& image)
{
    std::lock_guard<std::mutex> lock(streamMutex);
    for (Slot& slot : slots) {
        if (slot.bytes.data() == image.data) {
            if (!slot.held)
                return QUORVEX_EVK_INVALID_ARGUMENT;
            slot.held = false;
            return QUORVEX_EVK_OK;
        }
    }
    return QUORVEX_EVK_INVALID_ARGUMENT;
}

int SimulatedModule::writeRegister(uint32_t reg, uint32_t value)
{
    std::lock_guard<std::mutex> lock(registerMutex);
    registers[reg] = value;
    if (writes.size() < kRegisterLogCapacity)
        writes.push_back({reg, value});
    ++writeCount;
    return QUORVEX_EVK_OK;
}

void SimulatedModule::debugState(QuorvexDebugState& state)
{
    std::memset(&state, 0, sizeof state);
    {
        std::lock_guard<std::mutex> lock(streamMutex);
        state.captureCalls = static_cast<uint32_t>(captureCalls);
        state.imagesDelivered = static_cast<uint32_t>(imagesDelivered);
        for (const Slot& slot : slots)
            state.imagesHeld += slot.held ? 1 : 0;
        state.framesRendered = framesRendered;
        state.initialised = initialised;
        state.streaming = streaming;
    }
    std::lock_guard<std::mutex> lock(registerMutex);
    state.registerWrites = writeCount;
}

uint32_t SimulatedModule::registerLog(QuorvexRegisterWrite* out, uint32_t capacity)
{
    std::lock_guard<std::mutex> lock(registerMutex);
    const size_t count = std::min<size_t>(capacity, writes.size());
    if (out && count)
        std::memcpy(out, writes.data(), count * sizeof *out);
    return writeCount;
}

} // namespace quorvex_evk
