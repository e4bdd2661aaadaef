#include "vendor/libquorvex_evk_sdk/quorvex_evk_sdk.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "vendor/libquorvex_evk_sdk/EvkConfig.h"
#include "vendor/libquorvex_evk_sdk/SimulatedModule.h"

struct QuorvexEvkCamera {
    explicit QuorvexEvkCamera(const quorvex_evk::ModuleConfig& config, uint32_t queueDepth)
        : module(config, queueDepth)
    {
    }
    quorvex_evk::SimulatedModule module;
};

namespace {

constexpr uint32_t kDefaultQueueDepth = 4;
constexpr uint32_t kMaxQueueDepth = 16;

std::atomic<int> openCameras{0};
std::atomic<QuorvexCameraHandle> lastCamera{nullptr};

std::mutex lastParamMutex;
QuorvexOpenParam lastParam{};

void report(const std::string& text)
{
    std::fprintf(stderr, "quorvex_evk_sdk: %s\n", text.c_str());
}

} // namespace

extern "C" {

int QuorvexDefaultParam(QuorvexOpenParam* param)
{
    if (!param)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    std::memset(param, 0, sizeof *param);
    param->recordVersion = QUORVEX_EVK_PARAM_VERSION;
    param->imageQueueDepth = kDefaultQueueDepth;
    return QUORVEX_EVK_OK;
}

int QuorvexOpenCamera(QuorvexCameraHandle* handle, QuorvexOpenParam* param)
{
    if (!handle || !param)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    {
        std::lock_guard<std::mutex> lock(lastParamMutex);
        std::memcpy(&lastParam, param, sizeof lastParam);
    }
    *handle = nullptr;
    if (param->recordVersion != QUORVEX_EVK_PARAM_VERSION) {
        report("open parameters not prepared by QuorvexDefaultParam");
        return QUORVEX_EVK_INVALID_ARGUMENT;
    }
    const uint32_t depth = param->imageQueueDepth;
    if (depth < 1 || depth > kMaxQueueDepth) {
        report("image queue depth " + std::to_string(depth) + " outside 1.." +
               std::to_string(kMaxQueueDepth));
        return QUORVEX_EVK_INVALID_ARGUMENT;
    }

    quorvex_evk::ModuleConfig config;
    if (param->configPath) {
        // The simulated module has no firmware image to load: binary
        // configuration files belong to a real module only.
        if (param->configIsBinary) {
            report(std::string(param->configPath) +
                   ": binary (.bin) configuration files are for a real module; the simulated "
                   "module takes a text configuration file");
            return QUORVEX_EVK_BAD_CONFIGURATION;
        }
        std::string error;
        if (!quorvex_evk::loadModuleConfig(param->configPath, config, error)) {
            report(error);
            return QUORVEX_EVK_BAD_CONFIGURATION;
        }
    }
    QuorvexEvkCamera* camera = new (std::nothrow) QuorvexEvkCamera(config, depth);
    if (!camera)
        return QUORVEX_EVK_NO_DEVICE;
    ++openCameras;
    lastCamera = camera;
    *handle = camera;
    return QUORVEX_EVK_OK;
}

int QuorvexInitCamera(QuorvexCameraHandle handle)
{
    return handle ? handle->module.init() : QUORVEX_EVK_INVALID_ARGUMENT;
}

int QuorvexGetCameraConfig(QuorvexCameraHandle handle, QuorvexCameraConfig* config)
{
    if (!handle || !config)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    handle->module.describe(*config);
    return QUORVEX_EVK_OK;
}

int QuorvexStartCamera(QuorvexCameraHandle handle)
{
    return handle ? handle->module.start() : QUORVEX_EVK_INVALID_ARGUMENT;
}

int QuorvexStopCamera(QuorvexCameraHandle handle)
{
    return handle ? handle->module.stop() : QUORVEX_EVK_INVALID_ARGUMENT;
}

int QuorvexCloseCamera(QuorvexCameraHandle handle)
{
    if (!handle)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    handle->module.stop();
    delete handle;
    --openCameras;
    return QUORVEX_EVK_OK;
}

int QuorvexCaptureImage(QuorvexCameraHandle handle, QuorvexImage* image, uint32_t timeoutMs)
{
    if (!handle || !image)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    return handle->module.capture(*image, timeoutMs);
}

int QuorvexFreeImage(QuorvexCameraHandle handle, QuorvexImage image)
{
    if (!handle)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    return handle->module.release(image);
}

int QuorvexWriteSensorReg(QuorvexCameraHandle handle, uint32_t reg, uint32_t value)
{
    return handle ? handle->module.writeRegister(reg, value) : QUORVEX_EVK_INVALID_ARGUMENT;
}

int QuorvexDebugGetState(QuorvexCameraHandle handle, QuorvexDebugState* state)
{
    if (!handle || !state)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    handle->module.debugState(*state);
    return QUORVEX_EVK_OK;
}

int QuorvexDebugGetRegisterWrites(QuorvexCameraHandle handle, QuorvexRegisterWrite* writes,
                                  uint32_t capacity)
{
    if (!handle)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    return static_cast<int>(handle->module.registerLog(writes, capacity));
}

int QuorvexDebugLastOpenParam(QuorvexOpenParam* param)
{
    if (!param)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(lastParamMutex);
    std::memcpy(param, &lastParam, sizeof *param);
    return QUORVEX_EVK_OK;
}

QuorvexCameraHandle QuorvexDebugLastCamera(void)
{
    return lastCamera.load();
}

int QuorvexDebugOpenCameras(void)
{
    return openCameras.load();
}

int QuorvexDebugGroundTruth(const char* configPath, uint32_t frameNumber, float* depthMm, float* coverage,
                            uint32_t pixels)
{
    using quorvex_evk::SimulatedModule;
    quorvex_evk::ModuleConfig config;
    if (configPath) {
        std::string error;
        if (!quorvex_evk::loadModuleConfig(configPath, config, error)) {
            report(error);
            return QUORVEX_EVK_BAD_CONFIGURATION;
        }
    }
    if (config.scene == quorvex_evk::SceneChoice::PATTERN) {
        report(std::string(configPath ? configPath : "default module") + ": the pattern has no scene to tell the truth of");
        return QUORVEX_EVK_BAD_CONFIGURATION;
    }
    const uint64_t count = static_cast<uint64_t>(config.width) * config.height;
    if (pixels != count)
        return QUORVEX_EVK_INVALID_ARGUMENT;
    Quorvex::sim::SceneGeometry geometry(SimulatedModule::sceneKindOf(config),
                                         SimulatedModule::sceneParamsOf(config));
    geometry.setFrame(frameNumber);
    const Quorvex::sim::SceneMotion motion = SimulatedModule::sceneMotionOf(config);
    const int w = static_cast<int>(config.width), h = static_cast<int>(config.height);
    if (config.physics.realistic) {
        // The realistic world moves the scene itself.
        double origin[3];
        motion.originAt(frameNumber, 0.0, origin);
        Quorvex::sim::sceneTruth(geometry, w, h, origin, depthMm, coverage);
        return static_cast<int>(count);
    }
    // The ideal world moves every pixel's distance alike.
    const double origin[3] = {0.0, 0.0, 0.0};
    Quorvex::sim::sceneTruth(geometry, w, h, origin, depthMm, coverage);
    const double offset = motion.offsetAt(frameNumber, 0.0);
    if (depthMm && offset != 0.0)
        for (uint64_t n = 0; n < count; ++n)
            if (depthMm[n] > 0.0f)
                depthMm[n] = static_cast<float>(std::max(1.0, depthMm[n] + offset));
    return static_cast<int>(count);
}

} // extern "C"
