#include "sim/SensorPhysics.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

// Sub-ray directions kept per world at most (24 MB): above it they are
// worked out per trace.
constexpr size_t kMaxKeptSubRays = size_t(1) << 20;
constexpr int kMaxSubRaysPerSide = 16;

// Whether a tap holding `electrons` stays within 0 .. fullWell whatever its
// shot noise: a Gaussian of NoiseSource never exceeds 8.6 standard
// deviations (its uniforms are at least 2^-53), so within 9 no draw is
// ever clipped.
bool unclipped(double electrons, double fullWell)
{
    const double reach = 9.0 * std::sqrt(std::max(electrons, 0.0));
    return electrons - reach > 0.0 && electrons + reach < fullWell;
}

int subRaysPerSide(const PhysicsSettings& s)
{
    return std::min(kMaxSubRaysPerSide, std::max(1, s.supersample));
}

// Two doubles at once: the compilers' generic vectors, SSE2 or NEON where
// there is one and a pair of scalars on 32-bit ARM, the same operations in
// the same order (so the same bits) however they are carried out.
typedef double Pair __attribute__((vector_size(16)));
typedef int64_t PairInts __attribute__((vector_size(16)));

inline Pair loadPair(const double* p)
{
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storePair(double* p, Pair v)
{
    std::memcpy(p, &v, sizeof v);
}

inline Pair choose(PairInts mask, Pair yes, Pair no)
{
    return reinterpret_cast<Pair>((reinterpret_cast<PairInts>(yes) & mask) | (reinterpret_cast<PairInts>(no) & ~mask));
}

// Pairs of sub-rays worked on side by side: the chains of dependent steps
// below are long, and several in flight keep a core's units busy.
constexpr int kPairsAtOnce = 4;
constexpr int kSubRaysAtOnce = 2 * kPairsAtOnce;

// Sine and cosine of kSubRaysAtOnce phases to double precision: a
// quarter-turn reduction and the Taylor series to the 17th power on
// |r| <= pi/4, whose remainder is below 1e-19. The library's sincos costs
// several times as much, and every sub-ray of every moving image takes one.
inline void phasors(const Pair (&phase)[kPairsAtOnce], Pair (&sine)[kPairsAtOnce], Pair (&cosine)[kPairsAtOnce])
{
    constexpr double kHalfPi = 1.5707963267948966;
    constexpr double kHalfPiRest = 6.123233995736766e-17; // pi/2 - kHalfPi
    const Pair zero = {0.0, 0.0};
    PairInts quarter[kPairsAtOnce];
    Pair r[kPairsAtOnce], r2[kPairsAtOnce], s[kPairsAtOnce], c[kPairsAtOnce];
    for (int i = 0; i < kPairsAtOnce; ++i) {
        // Truncation after adding a half away from zero rounds.
        const Pair q = phase[i] * (2.0 / kPi);
        quarter[i] = __builtin_convertvector(choose(q >= zero, q + 0.5, q - 0.5), PairInts);
        const Pair turns = __builtin_convertvector(quarter[i], Pair);
        r[i] = (phase[i] - turns * kHalfPi) - turns * kHalfPiRest;
        r2[i] = r[i] * r[i];
    }
    // 1 / (k (k + 1)) of the series' successive terms, innermost first
    // (Horner's scheme).
    constexpr double sineSteps[] = {1.0 / 272.0, 1.0 / 210.0, 1.0 / 156.0, 1.0 / 110.0,
                                    1.0 / 72.0,  1.0 / 42.0,  1.0 / 20.0,  1.0 / 6.0};
    constexpr double cosineSteps[] = {1.0 / 240.0, 1.0 / 182.0, 1.0 / 132.0, 1.0 / 90.0,
                                      1.0 / 56.0,  1.0 / 30.0,  1.0 / 12.0,  1.0 / 2.0};
    for (int i = 0; i < kPairsAtOnce; ++i) {
        s[i] = 1.0 - r2[i] * sineSteps[0];
        c[i] = 1.0 - r2[i] * cosineSteps[0];
    }
    for (int step = 1; step < 8; ++step) {
        for (int i = 0; i < kPairsAtOnce; ++i) {
            s[i] = 1.0 - r2[i] * sineSteps[step] * s[i];
            c[i] = 1.0 - r2[i] * cosineSteps[step] * c[i];
        }
    }
    const PairInts signBit = {INT64_MIN, INT64_MIN};
    for (int i = 0; i < kPairsAtOnce; ++i) {
        s[i] = r[i] * s[i];
        // Quarter 0: (s, c); 1: (c, -s); 2: (-s, -c); 3: (-c, s). The
        // signs are flipped in the sign bit, as negation does.
        const PairInts odd = (quarter[i] & 1) != 0;
        const PairInts sineSign = (quarter[i] & 2) != 0;
        const PairInts cosineSign = ((quarter[i] + 1) & 2) != 0;
        sine[i] = reinterpret_cast<Pair>(reinterpret_cast<PairInts>(choose(odd, c[i], s[i])) ^ (sineSign & signBit));
        cosine[i] = reinterpret_cast<Pair>(reinterpret_cast<PairInts>(choose(odd, s[i], c[i])) ^ (cosineSign & signBit));
    }
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

bool PhysicalWorld::prepareRays()
{
    if (raysReady)
        return true;
    const int n = subRaysPerSide(settings);
    const size_t pixels = static_cast<size_t>(imageWidth) * static_cast<size_t>(imageHeight);
    const bool keep = pixels * n * n <= kMaxKeptSubRays;
    subRays.resize(keep ? pixels * n * n * 3 : 0);
    turnedRays.resize(keep && geometry.turnsRays() ? pixels * n * n * 3 : 0);
    footprints.resize(pixels);
    size_t k = 0;
    for (int v = 0; v < imageHeight; ++v) {
        for (int u = 0; u < imageWidth; ++u) {
            if (cancelled())
                return false;
            double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
            for (int j = 0; j < n; ++j) {
                for (int i = 0; i < n; ++i) {
                    double dir[3];
                    geometry.rayThrough(u + (i + 0.5) / n, v + (j + 0.5) / n, imageWidth, imageHeight, dir);
                    if (keep)
                        std::copy(dir, dir + 3, &subRays[k * 3]);
                    if (!turnedRays.empty())
                        geometry.turnDirection(dir, &turnedRays[k * 3]);
                    ++k;
                    x0 = std::min(x0, dir[0] / dir[2]);
                    x1 = std::max(x1, dir[0] / dir[2]);
                    y0 = std::min(y0, dir[1] / dir[2]);
                    y1 = std::max(y1, dir[1] / dir[2]);
                }
            }
            // Widened past the rounding of the quotients.
            const double margin = 1e-5;
            footprints[static_cast<size_t>(v) * imageWidth + u] = {
                static_cast<float>(x0 - margin * (1.0 + std::fabs(x0))),
                static_cast<float>(x1 + margin * (1.0 + std::fabs(x1))),
                static_cast<float>(y0 - margin * (1.0 + std::fabs(y0))),
                static_cast<float>(y1 + margin * (1.0 + std::fabs(y1)))};
        }
    }
    raysReady = true;
    return true;
}

template <bool WallOnly>
PixelLight PhysicalWorld::pixelLight(size_t pixel, int u, int v, double freqHz, const double origin[3],
                                     const double turnedOrigin[3], const SceneGeometry::FaceView* face,
                                     const PixelLight* wall) const
{
    const int n = subRaysPerSide(settings);
    const double inv = 1.0 / (static_cast<double>(n) * n);
    const double* kept = subRays.empty() ? nullptr : &subRays[pixel * n * n * 3];
    const double* turned = WallOnly || turnedRays.empty() ? nullptr : &turnedRays[pixel * n * n * 3];
    // Traced first, lit second: a pixel whose sub-rays all end on the wall
    // takes the wall's light, which is the same sum.
    double distance[kMaxSubRaysPerSide * kMaxSubRaysPerSide];
    double reflectivity[kMaxSubRaysPerSide * kMaxSubRaysPerSide];
    double albedo = 0.0;
    int hits = 0;
    bool object = false;
    const bool onFace = !WallOnly && face && turned;
    if (onFace) {
        // Every sub-ray enters the box through this face: the trace is its
        // plane's distance alone.
        hits = n * n;
        object = true;
        const double faceAlbedo = face->albedo;
        // The per-ray sum of a float's albedo over at most 256 sub-rays is
        // exact in a double, and so is this product.
        albedo = faceAlbedo * hits;
        const int axis = face->axis;
        const Pair ahead = {face->plane - turnedOrigin[axis], face->plane - turnedOrigin[axis]};
        const PairInts magnitude = {INT64_MAX, INT64_MAX};
        for (int k = 0; k < hits; k += 2) {
            // An odd count's last pair repeats its sub-ray.
            const int next = k + 1 < hits ? k + 1 : k;
            const Pair along = {turned[k * 3 + axis], turned[next * 3 + axis]};
            // SceneGeometry::faceDistance and faceCosine, two at once.
            storePair(&distance[k], ahead / along);
            storePair(&reflectivity[k],
                      faceAlbedo * reinterpret_cast<Pair>(reinterpret_cast<PairInts>(along) & magnitude));
        }
    }
    for (int j = 0; j < n && !onFace; ++j) {
        for (int i = 0; i < n; ++i) {
            double dir[3];
            if (kept) {
                for (int a = 0; a < 3; ++a)
                    dir[a] = kept[(j * n + i) * 3 + a];
            } else {
                geometry.rayThrough(u + (i + 0.5) / n, v + (j + 0.5) / n, imageWidth, imageHeight, dir);
            }
            SceneHit hit;
            const bool met = WallOnly ? geometry.traceWall(origin, dir, hit)
                             : turned ? geometry.traceTurned(origin, dir, turnedOrigin, &turned[(j * n + i) * 3], hit)
                                      : geometry.trace(origin, dir, hit);
            if (!met)
                continue;
            // Distance back to the camera's centre, where the light source
            // sits: with a moved origin the ray's length is that distance.
            distance[hits] = hit.t;
            reflectivity[hits] = hit.albedo * hit.cosine;
            // Ambient light falls on the surface from everywhere, not along
            // this ray: the camera's angle of incidence is no part of it.
            albedo += hit.albedo;
            object = object || hit.object != 0;
            ++hits;
        }
    }
    if (wall && !object)
        return *wall;
    // The sub-rays' amplitudes and phasors first, independent of one
    // another so that they overlap, then summed in order.
    // kSubRaysAtOnce at a time; the last group is filled up with copies of
    // its last sub-ray, never summed.
    double amplitude[kMaxSubRaysPerSide * kMaxSubRaysPerSide];
    double sines[kMaxSubRaysPerSide * kMaxSubRaysPerSide];
    double cosines[kMaxSubRaysPerSide * kMaxSubRaysPerSide];
    for (int k = hits; k % kSubRaysAtOnce != 0; ++k) {
        distance[k] = distance[hits - 1];
        reflectivity[k] = reflectivity[hits - 1];
    }
    // As phaseOf has it.
    const double phasePerMetre = 4.0 * kPi * freqHz;
    for (int k = 0; k < hits; k += kSubRaysAtOnce) {
        Pair phase[kPairsAtOnce], sine[kPairsAtOnce], cosine[kPairsAtOnce];
        for (int i = 0; i < kPairsAtOnce; ++i) {
            const Pair metres = loadPair(&distance[k + 2 * i]) / 1000.0;
            storePair(&amplitude[k + 2 * i], kRealisticAmplitudeAt1m * loadPair(&reflectivity[k + 2 * i]) / (metres * metres));
            phase[i] = phasePerMetre * metres / kSpeedOfLight;
        }
        phasors(phase, sine, cosine);
        for (int i = 0; i < kPairsAtOnce; ++i) {
            storePair(&sines[k + 2 * i], sine[i]);
            storePair(&cosines[k + 2 * i], cosine[i]);
        }
    }
    double re = 0.0, im = 0.0, total = 0.0;
    for (int k = 0; k < hits; ++k) {
        re += amplitude[k] * cosines[k];
        im += amplitude[k] * sines[k];
        total += amplitude[k];
    }
    return {static_cast<float>(re * inv), static_cast<float>(im * inv), static_cast<float>(total * inv),
            static_cast<float>(settings.ambientE * albedo * inv)};
}

bool PhysicalWorld::objectOutlines(const double origin[3], Outline* outlines, int& count) const
{
    double corners[kMaxObjectHulls][8][3];
    count = geometry.objectHulls(corners);
    for (int h = 0; h < count; ++h) {
        // Seen through a pinhole, a hull ahead of the camera covers the
        // convex outline of its corners' images.
        double px[8], py[8];
        int order[8];
        for (int c = 0; c < 8; ++c) {
            const double z = corners[h][c][2] - origin[2];
            if (!(z > 1.0))
                return false;
            px[c] = (corners[h][c][0] - origin[0]) / z;
            py[c] = (corners[h][c][1] - origin[1]) / z;
            order[c] = c;
        }
        std::sort(order, order + 8, [&](int a, int b) { return px[a] < px[b] || (px[a] == px[b] && py[a] < py[b]); });
        // Monotone chain: the lower hull left to right, the upper back.
        int hull[17];
        int m = 0;
        auto turnsLeft = [&](int a, int b, int c) {
            return (px[b] - px[a]) * (py[c] - py[a]) - (py[b] - py[a]) * (px[c] - px[a]) > 0.0;
        };
        for (int i = 0; i < 8; ++i) {
            while (m >= 2 && !turnsLeft(hull[m - 2], hull[m - 1], order[i]))
                --m;
            hull[m++] = order[i];
        }
        for (int i = 6, lower = m + 1; i >= 0; --i) {
            while (m >= lower && !turnsLeft(hull[m - 2], hull[m - 1], order[i]))
                --m;
            hull[m++] = order[i];
        }
        Outline& out = outlines[h];
        out.count = std::min(m - 1, 8);
        out.x0 = out.y0 = 1e300;
        out.x1 = out.y1 = -1e300;
        for (int i = 0; i < out.count; ++i) {
            out.x[i] = px[hull[i]];
            out.y[i] = py[hull[i]];
            out.x0 = std::min(out.x0, out.x[i]);
            out.x1 = std::max(out.x1, out.x[i]);
            out.y0 = std::min(out.y0, out.y[i]);
            out.y1 = std::max(out.y1, out.y[i]);
        }
    }
    return true;
}

bool PhysicalWorld::computeLight(double freqHz, const double origin[3], std::vector<PixelLight>& out)
{
    out.resize(static_cast<size_t>(imageWidth) * imageHeight);
    if (!prepareRays())
        return false;
    // Objects before a wall facing the camera, seen from an origin in the
    // wall's parallel plane (at rest, or moved sideways): the wall's light
    // does not change, so only the pixels the objects can reach are traced.
    const std::vector<PixelLight>* wall = nullptr;
    Outline outlines[kMaxObjectHulls];
    int count = 0;
    bool outlined = false;
    if (traceObjectsOnly && origin[2] == 0.0 && geometry.wallBehindObjects()) {
        if (!(wall = wallAt(freqHz)))
            return false;
        outlined = objectOutlines(origin, outlines, count);
    }
    double turnedOrigin[3] = {0.0, 0.0, 0.0};
    if (!turnedRays.empty())
        geometry.turnOrigin(origin, turnedOrigin);
    // The faces as half-planes a x + b y + c >= 0 of the footprints'
    // coordinates, whichever way round the corners go.
    struct FaceRegion {
        double a[4], b[4], c[4];
    };
    SceneGeometry::FaceView faces[SceneGeometry::kMaxFacesSeen];
    FaceRegion regions[SceneGeometry::kMaxFacesSeen];
    const int faceCount = turnedRays.empty() ? 0 : geometry.facesSeen(origin, faces);
    for (int f = 0; f < faceCount; ++f) {
        const double* x = faces[f].x;
        const double* y = faces[f].y;
        double area = 0.0;
        for (int e = 0; e < 4; ++e)
            area += x[e] * y[(e + 1) % 4] - x[(e + 1) % 4] * y[e];
        const double side = area >= 0.0 ? 1.0 : -1.0;
        for (int e = 0; e < 4; ++e) {
            const int next = (e + 1) % 4;
            regions[f].a[e] = -side * (y[next] - y[e]);
            regions[f].b[e] = side * (x[next] - x[e]);
            regions[f].c[e] = -(regions[f].a[e] * x[e] + regions[f].b[e] * y[e]);
        }
    }
    // The face a footprint lies wholly inside, if any: its corner nearest
    // each edge is inside that edge. The footprints' margin keeps every
    // sub-ray far from an edge compared with the slab test's rounding, so
    // it enters where the face says.
    auto faceHolding = [&](const Footprint& fp) -> const SceneGeometry::FaceView* {
        for (int f = 0; f < faceCount; ++f) {
            const FaceRegion& r = regions[f];
            bool inside = true;
            for (int e = 0; e < 4 && inside; ++e)
                inside = r.a[e] * (r.a[e] > 0.0 ? fp.x0 : fp.x1) + r.b[e] * (r.b[e] > 0.0 ? fp.y0 : fp.y1) + r.c[e] > 0.0;
            if (inside)
                return &faces[f];
        }
        return nullptr;
    };
    // A pixel is left to the wall only when its footprint lies wholly
    // outside every outline: beside its bounding box, or beyond one edge.
    auto reachable = [&](const Footprint& f) {
        for (int h = 0; h < count; ++h) {
            const Outline& o = outlines[h];
            bool outside = f.x1 < o.x0 || f.x0 > o.x1 || f.y1 < o.y0 || f.y0 > o.y1;
            for (int e = 0; e < o.count && !outside; ++e) {
                const int next = (e + 1) % o.count;
                const double ex = o.x[next] - o.x[e], ey = o.y[next] - o.y[e];
                auto left = [&](double x, double y) { return ex * (y - o.y[e]) - ey * (x - o.x[e]) >= 0.0; };
                outside = !left(f.x0, f.y0) && !left(f.x1, f.y0) && !left(f.x0, f.y1) && !left(f.x1, f.y1);
            }
            if (!outside)
                return true;
        }
        return false;
    };
    for (int v = 0; v < imageHeight; ++v) {
        for (int u = 0; u < imageWidth; ++u) {
            // Checked per pixel: a row of 640 pixels of 16 x 16 sub-rays
            // takes seconds under emulation.
            if (cancelled())
                return false;
            const size_t at = static_cast<size_t>(v) * imageWidth + u;
            if (outlined && !reachable(footprints[at])) {
                out[at] = (*wall)[at];
                continue;
            }
            out[at] = pixelLight<false>(at, u, v, freqHz, origin, turnedOrigin, faceHolding(footprints[at]),
                                        wall ? &(*wall)[at] : nullptr);
        }
    }
    return true;
}

const std::vector<PixelLight>* PhysicalWorld::cachedAt(const std::vector<Cached>& cache, double freqHz)
{
    for (const Cached& c : cache)
        if (c.freqHz == freqHz)
            return &c.light;
    return nullptr;
}

std::vector<PixelLight>& PhysicalWorld::newCached(std::vector<Cached>& cache, double freqHz)
{
    if (cache.size() == kMaxFrequencies)
        cache.clear();
    cache.push_back({freqHz, {}});
    return cache.back().light;
}

const std::vector<PixelLight>* PhysicalWorld::wallAt(double freqHz)
{
    if (const std::vector<PixelLight>* known = cachedAt(walls, freqHz))
        return known;
    std::vector<PixelLight>& out = newCached(walls, freqHz);
    out.resize(static_cast<size_t>(imageWidth) * imageHeight);
    const double origin[3] = {0.0, 0.0, 0.0};
    for (int v = 0; v < imageHeight; ++v) {
        for (int u = 0; u < imageWidth; ++u) {
            if (cancelled()) {
                walls.pop_back();
                return nullptr;
            }
            const size_t at = static_cast<size_t>(v) * imageWidth + u;
            out[at] = pixelLight<true>(at, u, v, freqHz, origin, origin, nullptr, nullptr);
        }
    }
    return &out;
}

const std::vector<PixelLight>* PhysicalWorld::multipathAt(double freqHz)
{
    if (const std::vector<PixelLight>* known = cachedAt(bounced, freqHz))
        return known;
    std::vector<PixelLight>& out = newCached(bounced, freqHz);
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
        if (const std::vector<PixelLight>* known = cachedAt(still, freqHz))
            return *known;
    }
    double origin[3];
    motion.originAt(frame, msIntoFrame, origin);
    geometry.setFrame(frame);
    std::vector<PixelLight>* out = &scratch;
    if (!changing()) {
        out = &newCached(still, freqHz);
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
    return sample(light, std::cos(thetaRad), std::sin(thetaRad), offset, minSample, maxSample, noise);
}

int16_t PhysicalWorld::sample(const PixelLight& light, double cosTheta, double sinTheta, double offset,
                              int minSample, int maxSample, NoiseSource& noise) const
{
    const double g = kElectronsPerLsb;
    const double signal = g * (light.re * cosTheta - light.im * sinTheta);
    const double common = light.ambient + g * light.total;
    double tapA = 0.5 * (common + signal);
    double tapB = 0.5 * (common - signal);
    const double fullWell = settings.fullWellE;
    if (settings.shotNoise && unclipped(tapA, fullWell) && unclipped(tapB, fullWell)) {
        // Neither tap can reach an end of its range: the three Gaussians
        // add up to one of the summed variance, drawn at once.
        const double read2 = settings.readNoiseE > 0.0 ? settings.readNoiseE * settings.readNoiseE : 0.0;
        const double diff = tapA - tapB + std::sqrt(tapA + tapB + read2) * noise.gaussian();
        const double v = std::nearbyint(offset + diff / g);
        return static_cast<int16_t>(std::min<double>(maxSample, std::max<double>(minSample, v)));
    }
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
    if (settings.shotNoise && unclipped(e, 2.0 * settings.fullWellE)) {
        const double read2 = settings.readNoiseE > 0.0 ? settings.readNoiseE * settings.readNoiseE : 0.0;
        e += std::sqrt(e + read2) * noise.gaussian();
    } else {
        if (settings.shotNoise)
            e += std::sqrt(std::max(e, 0.0)) * noise.gaussian();
        e = std::min(std::max(e, 0.0), 2.0 * settings.fullWellE);
        if (settings.readNoiseE > 0.0)
            e += settings.readNoiseE * noise.gaussian();
    }
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
        const double c = std::cos(theta), s = std::sin(theta);
        uint16_t* dst = out + k * kHqvgaPlaneWords;
        for (size_t n = 0; n < kHqvgaPlaneWords; ++n)
            dst[n] = encodeSample(sample(light[n], c, s, 0.0, -1024, 1023, noise), shift);
    }
    return true;
}

} // namespace Quorvex::sim
