#include "sim/SceneModel.h"

#include <algorithm>
#include <cmath>

#include "sensor/ModuleRange.h"

namespace Quorvex::sim {

namespace {

struct Vec3 {
    double x, y, z;
};

double dot(const Vec3& a, const Vec3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Unit ray through the centre of pixel (u, v) of a pinhole camera looking
// along +z, image rows running downwards.
Vec3 rayThrough(int u, int v, int width, int height, double focalPx)
{
    const Vec3 d{(u + 0.5 - width / 2.0) / focalPx, (v + 0.5 - height / 2.0) / focalPx, 1.0};
    const double n = std::sqrt(dot(d, d));
    return {d.x / n, d.y / n, d.z / n};
}

// Hit of a ray from the origin: distance along it and the cosine between
// ray and surface normal.
struct Hit {
    double t;
    double cosine;
};

Hit hitWallFacingCamera(const Vec3& d, double distanceMm)
{
    return {distanceMm / d.z, d.z};
}

Hit hitTiltedWall(const Vec3& d, double distanceMm, double tiltRad)
{
    // Plane z = D + x * tan(tilt): farther to the right.
    const double t = distanceMm / (d.z - d.x * std::tan(tiltRad));
    const Vec3 normal{-std::sin(tiltRad), 0.0, std::cos(tiltRad)};
    return {t, std::fabs(dot(normal, d))};
}

bool hitSphere(const Vec3& d, const Vec3& centre, double radius, Hit& hit)
{
    const double b = dot(d, centre);
    const double disc = b * b - (dot(centre, centre) - radius * radius);
    if (disc < 0.0)
        return false;
    const double t = b - std::sqrt(disc);
    if (t <= 0.0)
        return false;
    const Vec3 normal{(d.x * t - centre.x) / radius, (d.y * t - centre.y) / radius,
                      (d.z * t - centre.z) / radius};
    hit = {t, std::fabs(dot(normal, d))};
    return true;
}

// Cube of half-edge `half` centred on `centre`, turned by `yaw` about the
// vertical axis and then `pitch` about the horizontal one, so that three of
// its faces show.
bool hitBox(const Vec3& d, const Vec3& centre, double half, double yaw, double pitch, Hit& hit,
            int& face)
{
    // Bring the ray into the box's frame (inverse rotation: pitch, then yaw).
    auto toBox = [&](const Vec3& v) {
        const double cp = std::cos(-pitch), sp = std::sin(-pitch);
        const Vec3 a{v.x, cp * v.y - sp * v.z, sp * v.y + cp * v.z};
        const double cy = std::cos(-yaw), sy = std::sin(-yaw);
        return Vec3{cy * a.x + sy * a.z, a.y, -sy * a.x + cy * a.z};
    };
    const Vec3 o = toBox({-centre.x, -centre.y, -centre.z});
    const Vec3 r = toBox(d);
    const double oa[3] = {o.x, o.y, o.z};
    const double ra[3] = {r.x, r.y, r.z};
    double tNear = -1e300, tFar = 1e300;
    int nearAxis = -1;
    for (int axis = 0; axis < 3; ++axis) {
        if (std::fabs(ra[axis]) < 1e-12) {
            if (std::fabs(oa[axis]) > half)
                return false;
            continue;
        }
        double t1 = (-half - oa[axis]) / ra[axis];
        double t2 = (half - oa[axis]) / ra[axis];
        if (t1 > t2)
            std::swap(t1, t2);
        if (t1 > tNear) {
            tNear = t1;
            nearAxis = axis;
        }
        tFar = std::min(tFar, t2);
    }
    if (nearAxis < 0 || tNear > tFar || tNear <= 0.0)
        return false;
    hit = {tNear, std::fabs(ra[nearAxis])};
    face = nearAxis;
    return true;
}

} // namespace

Scene makeScene(SceneKind kind, int width, int height, const SceneParams& p)
{
    Scene scene(width, height);
    const double focalPx = (width / 2.0) / std::tan(p.fieldOfViewDeg * kPi / 360.0);
    const double deg = kPi / 180.0;
    for (int v = 0; v < height; ++v) {
        for (int u = 0; u < width; ++u) {
            const Vec3 d = rayThrough(u, v, width, height, focalPx);
            Hit hit = hitWallFacingCamera(d, p.distanceMm);
            float albedo = p.wallAlbedo;
            switch (kind) {
            case SceneKind::TILTED_WALL:
                hit = hitTiltedWall(d, p.distanceMm, p.tiltDeg * deg);
                break;
            case SceneKind::SPHERE: {
                Hit h;
                if (hitSphere(d, {0.0, 0.0, p.objectDistanceMm}, p.objectSizeMm, h)) {
                    hit = h;
                    albedo = p.objectAlbedo;
                }
                break;
            }
            case SceneKind::BOX: {
                Hit h;
                int face = 0;
                const Vec3 centre{0.0, 0.0, p.objectDistanceMm + p.objectSizeMm};
                if (hitBox(d, centre, p.objectSizeMm, 30.0 * deg, -20.0 * deg, h, face)) {
                    hit = h;
                    // Faces of different paint, so amplitude edges show too.
                    albedo = p.objectAlbedo * (face == 0 ? 0.6f : face == 1 ? 0.8f : 1.0f);
                }
                break;
            }
            }
            scene.at(u, v) = {static_cast<float>(hit.t),
                              static_cast<float>(albedo * hit.cosine)};
        }
    }
    if (p.depthNoiseMm > 0.0) {
        NoiseSource noise(p.seed);
        for (ScenePixel& px : scene.pixels)
            px.depthMm = static_cast<float>(std::max(1.0, px.depthMm + p.depthNoiseMm * noise.gaussian()));
    }
    return scene;
}

double NoiseSource::uniform()
{
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 1.0) * (1.0 / 9007199254740992.0);
}

double NoiseSource::gaussian()
{
    if (haveSpare) {
        haveSpare = false;
        return spare;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double a = 2.0 * kPi * uniform();
    spare = r * std::sin(a);
    haveSpare = true;
    return r * std::cos(a);
}

double phaseOf(double depthMm, double freqHz)
{
    return 4.0 * kPi * freqHz * (depthMm / 1000.0) / kSpeedOfLight;
}

double amplitudeOf(const ScenePixel& pixel, const CorrelationModel& model)
{
    const double metres = pixel.depthMm / 1000.0;
    return model.gainAt1m * pixel.reflectivity / (metres * metres);
}

double correlationValue(const ScenePixel& pixel, double freqHz, double thetaRad,
                        const CorrelationModel& model)
{
    return model.offset + amplitudeOf(pixel, model) * std::cos(phaseOf(pixel.depthMm, freqHz) + thetaRad);
}

int16_t correlationSample(const ScenePixel& pixel, double freqHz, unsigned step,
                          const CorrelationModel& model, NoiseSource* noise)
{
    double v = correlationValue(pixel, freqHz, (step % 4) * (kPi / 2.0), model);
    if (noise && model.noise > 0.0)
        v += model.noise * noise->gaussian();
    v = std::nearbyint(v);
    v = std::min<double>(model.maxSample, std::max<double>(model.minSample, v));
    return static_cast<int16_t>(v);
}

void renderCorrelationPlane(const Scene& scene, double freqHz, unsigned step,
                            const CorrelationModel& model, NoiseSource* noise, int16_t* out)
{
    for (size_t n = 0; n < scene.pixels.size(); ++n)
        out[n] = correlationSample(scene.pixels[n], freqHz, step, model, noise);
}

uint16_t encodeSample(int16_t sample, unsigned shift)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(sample) & 0x0FFFu) << shift);
}

double hqvgaFrequencyFor(int rangeMm, double previousHz)
{
    if (rangeMm == Quorvex::kNearRangeMm)
        return 75e6;
    if (rangeMm == Quorvex::kFarRangeMm)
        return 37.5e6;
    return previousHz;
}

unsigned hqvgaSubFrameStep(int rangeMm, unsigned k)
{
    return (k + (rangeMm == Quorvex::kNearRangeMm ? 2u : 1u)) % 4u;
}

bool renderHqvgaSubFrames(const Scene& scene, double freqHz, int rangeMm, unsigned shift,
                          uint16_t* out, const CorrelationModel& model, NoiseSource* noise)
{
    if (scene.width != kHqvgaWidth || scene.height != kHqvgaHeight)
        return false;
    for (unsigned k = 0; k < 4; ++k) {
        const unsigned step = hqvgaSubFrameStep(rangeMm, k);
        uint16_t* dst = out + k * kHqvgaPlaneWords;
        for (size_t n = 0; n < kHqvgaPlaneWords; ++n)
            dst[n] = encodeSample(correlationSample(scene.pixels[n], freqHz, step, model, noise), shift);
    }
    return true;
}

} // namespace Quorvex::sim
