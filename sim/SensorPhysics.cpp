#include "sim/SensorPhysics.h"

#include <algorithm>
#include <cmath>

namespace Quorvex::sim {

namespace {

// Patches per image side the second bounce gathers light from: fine enough
// for a smooth bias, coarse enough to compute once per frequency.
constexpr int kBouncePatchesX = 24;
constexpr int kBouncePatchesY = 18;
// Modulation frequencies kept rendered; a module uses one or two.
constexpr size_t kMaxFrequencies = 4;

double phaseOfPath(double pathMm, double freqHz)
{
    // A path there and back of `pathMm` in all: phaseOf takes the one-way
    // distance.
    return phaseOf(pathMm / 2.0, freqHz);
}

double dot3(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

} // namespace

double SceneMotion::offsetAt(uint64_t frame, double msIntoFrame) const
{
    if (mmPerFrame == 0.0)
        return 0.0;
    const double framePeriod = framePeriodMs > 0.0 ? framePeriodMs : 1000.0 / 30.0;
    return mmPerFrame * (static_cast<double>(frame % std::max<uint32_t>(period, 1)) + msIntoFrame / framePeriod);
}

void SceneMotion::originAt(uint64_t frame, double msIntoFrame, double origin[3]) const
{
    // Moving the scene by +s is moving the camera by -s.
    const double s = offsetAt(frame, msIntoFrame);
    origin[0] = direction == MotionDirection::RIGHT ? -s : 0.0;
    origin[1] = 0.0;
    origin[2] = direction == MotionDirection::AWAY ? -s : 0.0;
}

PhysicalWorld::PhysicalWorld(SceneKind kind, const SceneParams& params, int width, int height,
                             const PhysicsSettings& s, const SceneMotion& m)
    : geometry(kind, params), imageWidth(width), imageHeight(height), settings(s), motion(m)
{
    scratch.resize(static_cast<size_t>(std::max(width, 0)) * static_cast<size_t>(std::max(height, 0)));
    // Returned references must survive a new frequency being added.
    still.reserve(kMaxFrequencies);
    bounced.reserve(kMaxFrequencies);
}

bool PhysicalWorld::computeLight(double freqHz, const double origin[3], std::vector<PixelLight>& out) const
{
    const int n = std::max(1, settings.supersample);
    const double inv = 1.0 / (static_cast<double>(n) * n);
    out.resize(static_cast<size_t>(imageWidth) * imageHeight);
    for (int v = 0; v < imageHeight; ++v) {
        for (int u = 0; u < imageWidth; ++u) {
            // Checked per pixel: a row of 640 pixels of 16 x 16 sub-rays
            // takes seconds under emulation.
            if (cancelled())
                return false;
            double re = 0.0, im = 0.0, total = 0.0, albedo = 0.0;
            for (int j = 0; j < n; ++j) {
                for (int i = 0; i < n; ++i) {
                    double dir[3];
                    geometry.rayThrough(u + (i + 0.5) / n, v + (j + 0.5) / n, imageWidth, imageHeight, dir);
                    SceneHit hit;
                    if (!geometry.trace(origin, dir, hit))
                        continue;
                    // Distance back to the camera's centre, where the
                    // light source sits: with a moved origin the ray's
                    // length is that distance.
                    const double metres = hit.t / 1000.0;
                    const double reflectivity = hit.albedo * hit.cosine;
                    const double a = kRealisticAmplitudeAt1m * reflectivity / (metres * metres);
                    const double phase = phaseOf(hit.t, freqHz);
                    re += a * std::cos(phase);
                    im += a * std::sin(phase);
                    total += a;
                    // Ambient light falls on the surface from everywhere,
                    // not along this ray: the camera's angle of incidence
                    // is no part of it.
                    albedo += hit.albedo;
                }
            }
            PixelLight& px = out[static_cast<size_t>(v) * imageWidth + u];
            px.re = static_cast<float>(re * inv);
            px.im = static_cast<float>(im * inv);
            px.total = static_cast<float>(total * inv);
            px.ambient = static_cast<float>(settings.ambientE * albedo * inv);
        }
    }
    return true;
}

const std::vector<PixelLight>* PhysicalWorld::multipathAt(double freqHz)
{
    for (const Cached& c : bounced)
        if (c.freqHz == freqHz)
            return &c.light;
    if (bounced.size() == kMaxFrequencies)
        bounced.clear();
    bounced.push_back({freqHz, {}});
    std::vector<PixelLight>& out = bounced.back().light;
    out.assign(static_cast<size_t>(imageWidth) * imageHeight, PixelLight{0.0f, 0.0f, 0.0f, 0.0f});

    // The patches the camera's light falls on: what a coarse grid of rays
    // through the image meets, each standing for the solid angle of its
    // cell. Units: metres.
    struct Patch {
        double point[3];
        double normal[3];
        double albedo;
        double distance; // from the camera
        double weight;   // solid angle of the cell, steradians
        double size2;    // area of the patch, m^2
    };
    std::vector<Patch> patches;
    const double origin[3] = {0.0, 0.0, 0.0};
    const double focalPx = (imageWidth / 2.0) / std::tan(geometry.params().fieldOfViewDeg * kPi / 360.0);
    const double cellW = static_cast<double>(imageWidth) / kBouncePatchesX;
    const double cellH = static_cast<double>(imageHeight) / kBouncePatchesY;
    for (int j = 0; j < kBouncePatchesY; ++j) {
        for (int i = 0; i < kBouncePatchesX; ++i) {
            double dir[3];
            geometry.rayThrough((i + 0.5) * cellW, (j + 0.5) * cellH, imageWidth, imageHeight, dir);
            SceneHit hit;
            if (!geometry.trace(origin, dir, hit))
                continue;
            Patch p;
            for (int a = 0; a < 3; ++a) {
                p.point[a] = hit.point[a] / 1000.0;
                p.normal[a] = hit.normal[a];
            }
            p.albedo = hit.albedo;
            p.distance = hit.t / 1000.0;
            p.weight = cellW * cellH / (focalPx * focalPx) * dir[2] * dir[2] * dir[2];
            p.size2 = p.weight * p.distance * p.distance / std::max(hit.cosine, 1e-3);
            patches.push_back(p);
        }
    }

    // Light from the camera lights patch Q (irradiance I cos/r^2 over its
    // area), Q sends it on diffusely to P, P to the camera. Relative to the
    // direct return, whose amplitude is A1m * rho_P * cos_P / d_P^2, that
    // path's amplitude is A1m * rho_P * sum_Q rho_Q/pi * omega_Q * cos_Q *
    // cos_P' / |QP|^2, its phase that of the whole path.
    for (int v = 0; v < imageHeight; ++v) {
        if (cancelled()) {
            bounced.pop_back();
            return nullptr;
        }
        for (int u = 0; u < imageWidth; ++u) {
            double dir[3];
            geometry.rayThrough(u + 0.5, v + 0.5, imageWidth, imageHeight, dir);
            SceneHit hit;
            if (!geometry.trace(origin, dir, hit))
                continue;
            double p[3];
            for (int a = 0; a < 3; ++a)
                p[a] = hit.point[a] / 1000.0;
            const double dP = hit.t / 1000.0;
            double re = 0.0, im = 0.0, total = 0.0;
            for (const Patch& q : patches) {
                double pq[3] = {q.point[0] - p[0], q.point[1] - p[1], q.point[2] - p[2]};
                const double r2 = dot3(pq, pq);
                const double r = std::sqrt(r2);
                if (r < 1e-9)
                    continue;
                const double cosP = dot3(hit.normal, pq) / r;
                const double cosQ = -dot3(q.normal, pq) / r;
                if (cosP <= 0.0 || cosQ <= 0.0)
                    continue;
                // A patch nearer than its own size is not a point source:
                // the kernel is bounded by the patch's extent.
                const double a = kRealisticAmplitudeAt1m * hit.albedo * q.albedo / kPi * q.weight * cosQ * cosP /
                                 std::max(r2, q.size2);
                const double phase = phaseOfPath((q.distance + r + dP) * 1000.0, freqHz);
                re += a * std::cos(phase);
                im += a * std::sin(phase);
                total += a;
            }
            PixelLight& px = out[static_cast<size_t>(v) * imageWidth + u];
            px.re = static_cast<float>(re);
            px.im = static_cast<float>(im);
            px.total = static_cast<float>(total);
        }
    }
    return &out;
}

const std::vector<PixelLight>& PhysicalWorld::lightAt(double freqHz, uint64_t frame, double msIntoFrame)
{
    const bool bounce = settings.multipath && geometry.kind() == SceneKind::CORNER;
    if (!changing()) {
        for (const Cached& c : still)
            if (c.freqHz == freqHz)
                return c.light;
    }
    double origin[3];
    motion.originAt(frame, msIntoFrame, origin);
    geometry.setFrame(frame);
    std::vector<PixelLight>* out = &scratch;
    if (!changing()) {
        if (still.size() == kMaxFrequencies)
            still.clear();
        still.push_back({freqHz, {}});
        out = &still.back().light;
    }
    // The bounce is computed for the scene at rest: it changes slowly as
    // the scene moves.
    const std::vector<PixelLight>* mp = nullptr;
    if (!computeLight(freqHz, origin, *out) || (bounce && !(mp = multipathAt(freqHz)))) {
        // A light half computed must not be found by the next frame.
        if (out != &scratch)
            still.pop_back();
        scratchValid = false;
        scratch.resize(static_cast<size_t>(imageWidth) * imageHeight);
        return scratch;
    }
    if (mp) {
        for (size_t n = 0; n < out->size(); ++n) {
            (*out)[n].re += (*mp)[n].re;
            (*out)[n].im += (*mp)[n].im;
            (*out)[n].total += (*mp)[n].total;
        }
    }
    return *out;
}

const std::vector<PixelLight>& PhysicalWorld::subFrameLight(double freqHz, uint64_t frame, unsigned k)
{
    if (!changing())
        return lightAt(freqHz, frame, 0.0);
    if (moving() && settings.subframeMotion)
        return lightAt(freqHz, frame, k * kSubFrameSpacingMs);
    // Without sub-frame motion the whole frame sees the scene as it was
    // when the frame began; a scene posed anew each frame holds still
    // during it, as a board held for calibration does.
    if (!scratchValid || scratchFrame != frame || scratchFreq != freqHz) {
        lightAt(freqHz, frame, 0.0);
        scratchValid = !cancelled();
        scratchFrame = frame;
        scratchFreq = freqHz;
    }
    return scratch;
}

int16_t PhysicalWorld::sample(const PixelLight& light, double thetaRad, double offset, int minSample,
                              int maxSample, NoiseSource& noise) const
{
    const double g = kElectronsPerLsb;
    const double signal = g * (light.re * std::cos(thetaRad) - light.im * std::sin(thetaRad));
    const double common = light.ambient + g * light.total;
    double tapA = 0.5 * (common + signal);
    double tapB = 0.5 * (common - signal);
    const double fullWell = settings.fullWellE;
    if (settings.shotNoise) {
        // Gaussian stand-in for the Poisson count, drawn per tap: a full
        // tap has no noise left to show.
        tapA += std::sqrt(std::max(tapA, 0.0)) * noise.gaussian();
        tapB += std::sqrt(std::max(tapB, 0.0)) * noise.gaussian();
    }
    tapA = std::min(std::max(tapA, 0.0), fullWell);
    tapB = std::min(std::max(tapB, 0.0), fullWell);
    double diff = tapA - tapB;
    if (settings.readNoiseE > 0.0)
        diff += settings.readNoiseE * noise.gaussian();
    double v = std::nearbyint(offset + diff / g);
    v = std::min<double>(maxSample, std::max<double>(minSample, v));
    return static_cast<int16_t>(v);
}

int PhysicalWorld::ambientSample(const PixelLight& light, int maxSample, NoiseSource& noise) const
{
    double e = light.ambient;
    if (settings.shotNoise)
        e += std::sqrt(std::max(e, 0.0)) * noise.gaussian();
    e = std::min(std::max(e, 0.0), 2.0 * settings.fullWellE);
    if (settings.readNoiseE > 0.0)
        e += settings.readNoiseE * noise.gaussian();
    const double v = std::nearbyint(e / kElectronsPerLsb);
    return static_cast<int>(std::min<double>(maxSample, std::max(0.0, v)));
}

bool PhysicalWorld::renderHqvga(uint64_t frame, double freqHz, int rangeMm, unsigned shift, uint16_t* out,
                                NoiseSource& noise)
{
    if (imageWidth != kHqvgaWidth || imageHeight != kHqvgaHeight)
        return false;
    for (unsigned k = 0; k < 4; ++k) {
        const std::vector<PixelLight>& light = subFrameLight(freqHz, frame, k);
        if (cancelled())
            return false;
        const double theta = hqvgaSubFrameStep(rangeMm, k) * (kPi / 2.0);
        uint16_t* dst = out + k * kHqvgaPlaneWords;
        for (size_t n = 0; n < kHqvgaPlaneWords; ++n)
            dst[n] = encodeSample(sample(light[n], theta, 0.0, -1024, 1023, noise), shift);
    }
    return true;
}

} // namespace Quorvex::sim
