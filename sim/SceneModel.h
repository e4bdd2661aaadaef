#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// Simulated world: a known scene and the correlation samples a four-phase
// time-of-flight module would report for it. Written from the physics alone
// (nothing here calls the library's decoders), so the decoders can be checked
// against ground truth.
//
// Physics used throughout:
//   - light travels to the target and back: phase = 4*pi*f*d / c, with the
//     true speed of light c = 299,792,458 m/s and d the radial distance from
//     the camera centre;
//   - a correlation sample taken with the reference advanced by theta is
//         offset + A * cos(phase + theta),
//     theta = step * 90 degrees for step 0..3;
//   - A = gain * reflectivity / d^2 (d in metres): the returned light falls
//     off with the square of the distance; `reflectivity` already holds the
//     cosine of the incidence angle;
//   - samples are rounded to the nearest integer and saturate at the ends
//     of the 11-bit two's-complement range (-1024 ... 1023).
//
// The 240 x 180 module delivers four sub-frames P0..P3 per frame. The
// device pairs them as y = P2 - P0, x = P3 - P1 except in the 2000 mm range,
// where it uses y = P1 - P3, x = P2 - P0. Since step 0 gives A*cos(phase),
// step 1 -A*sin, step 2 -A*cos and step 3 A*sin, atan2(y, x) yields the
// phase exactly when the sub-frames carry these steps:
//
//   | range           | P0           | P1           | P2           | P3           |
//   |-----------------|--------------|--------------|--------------|--------------|
//   | 2000 mm         | step 2, 180° | step 3, 270° | step 0, 0°   | step 1, 90°  |
//   | any other range | step 1, 90°  | step 2, 180° | step 3, 270° | step 0, 0°   |
//
// i.e. sub-frame k carries step (k + 2) mod 4 in the 2000 mm range and
// (k + 1) mod 4 otherwise: the two orders differ by a quarter cycle.
// `hqvgaSubFrameStep` encodes this table.
//
// Word encoding: the sample is written as a 12-bit two's-complement value
// (bit 11 repeats the sign) in bits shift .. shift + 11 of a 16-bit word;
// the other bits are zero. Shift 4 matches the Jetson boards, whose
// receiver hands the 12-bit pixel over four bits up; shift 0 the others.

namespace Quorvex::sim {

constexpr double kSpeedOfLight = 299792458.0; // m/s
constexpr double kPi = 3.14159265358979323846;

// One pixel of a scene: radial distance from the camera centre (mm, > 0)
// and the fraction of light it sends back towards the camera (0 ... 1).
struct ScenePixel {
    float depthMm;
    float reflectivity;
};

// A scene as the camera sees it: row-major pixels, `width` x `height`.
struct Scene {
    Scene() = default;
    Scene(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h) {}

    ScenePixel& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    const ScenePixel& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }

    int width = 0;
    int height = 0;
    std::vector<ScenePixel> pixels;
};

enum class SceneKind {
    // A plane facing the camera at `distance` mm, turned about the vertical
    // axis so that the depth grows from left to right.
    TILTED_WALL,
    // A bright sphere in front of a grey wall.
    SPHERE,
    // A box with three visible faces of different brightness in front of a
    // grey wall.
    BOX,
    // The inside of a room's corner: two walls meeting in a vertical seam
    // `distance` mm straight ahead, each at 45 degrees to the optical axis,
    // and the floor `floorDropMm` below the camera. Concave: light bounces
    // between its surfaces.
    CORNER,
    // Four boxes side by side, each nearer than the one to its right, in
    // front of a grey wall: depth edges of every size.
    STEPS,
    // A printed checkerboard before a far wall, held in a new pose in every
    // frame (see checkerboardPose): what a lens is calibrated from.
    CHECKERBOARD,
};

// A lens in pixels, with the centre of pixel (u, v) at (u, v) as
// calibrations state it, and the plumb-bob distortion: a ray through the
// normalised point (x, y, 1) lands on the image at
//     x' = x (1 + k1 r^2 + k2 r^4 + k3 r^6) + 2 p1 x y + p2 (r^2 + 2 x^2),
//     y' = y (1 + k1 r^2 + k2 r^4 + k3 r^6) + p1 (r^2 + 2 y^2) + 2 p2 x y,
// at pixel (fx x' + cx, fy y' + cy).
struct LensModel {
    double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;
    double k1 = 0.0, k2 = 0.0, p1 = 0.0, p2 = 0.0, k3 = 0.0;

    void distort(double x, double y, double& xd, double& yd) const;
    // The normalised point the lens puts at (xd, yd), by Newton's method;
    // false where it does not converge (a lens folding the image over).
    bool undistort(double xd, double yd, double& x, double& y) const;
    // Pixel of a camera-frame point in front of the camera.
    bool project(const double point[3], double& u, double& v) const;
    // Unit ray of the pixel point (u, v) (pixel centres at whole numbers).
    bool ray(double u, double v, double dir[3]) const;
};

// The pinhole the scenes use without a lens of their own: the optical axis
// through the image centre, `fieldOfViewDeg` across.
LensModel nominalLens(int width, int height, double fieldOfViewDeg = 60.0);

// Where the checkerboard is in one frame: its centre (mm, camera axes) and
// its axes, along its columns, along its rows and its normal (away from
// the camera when it faces it square on).
struct BoardPose {
    double centre[3];
    double across[3];
    double down[3];
    double normal[3];
};

// Parameters of the built-in scenes. Distances in mm. The camera is a
// pinhole with its optical axis through the image centre and the given
// horizontal field of view.
struct SceneParams {
    double fieldOfViewDeg = 60.0;
    double distanceMm = 1500.0;   // wall at the centre (TILTED_WALL) or background wall
    double tiltDeg = 35.0;        // TILTED_WALL
    double objectDistanceMm = 1000.0; // centre of the sphere or front face of the box
    double objectSizeMm = 350.0;  // sphere radius or half the box's edge
    double floorDropMm = 600.0;   // CORNER
    float wallAlbedo = 0.6f;
    float objectAlbedo = 0.9f;
    // A lens of the module's own; without it, the nominal pinhole above
    // (traced exactly as before lenses existed).
    bool hasLens = false;
    LensModel lens;
    // CHECKERBOARD: inner corners across and down, the squares' side, and
    // the reflectivities of paper and toner in the near infrared.
    int boardCols = 9;
    int boardRows = 6;
    double boardSquareMm = 30.0;
    float boardBright = 0.7f;
    float boardDark = 0.05f;
    // Gaussian depth noise (standard deviation in mm), 0 for none; drawn
    // from `seed` so a scene is reproducible.
    double depthNoiseMm = 0.0;
    uint64_t seed = 1;
};

Scene makeScene(SceneKind kind, int width, int height, const SceneParams& params = {});

// The board's pose in frame `frame`: every frame another, cycling through
// the image's 3 x 3 regions, its centre 600 to 1200 mm away, tilted up to
// 35 degrees about both image axes and turned up to 10 degrees in the
// image, always whole in the nominal 60-degree view.
BoardPose checkerboardPose(uint64_t frame, const SceneParams& params);
// Distance of the wall behind the board.
double checkerboardWallMm(const SceneParams& params);

// What a ray meets first: the distance along it, the cosine between ray and
// surface normal, the surface's albedo, which object it belongs to (0 the
// background wall or the corner's left wall, 1.. the objects or other
// walls), the point and the unit normal facing the ray's origin.
struct SceneHit {
    double t = 0.0;
    double cosine = 0.0;
    float albedo = 0.0f;
    int object = -1;
    double point[3] = {0.0, 0.0, 0.0};
    double normal[3] = {0.0, 0.0, 0.0};
};

// The built-in scenes as geometry, traced from any origin: what makeScene
// samples along pixel centres, the sensor model along sub-rays and moved
// viewpoints. Millimetres, camera axes (x right, y down, z forward).
class SceneGeometry {
public:
    SceneGeometry(SceneKind kind, const SceneParams& params);

    // The first surface along the unit direction `dir` from `origin`;
    // false when the ray leaves the scene.
    bool trace(const double origin[3], const double dir[3], SceneHit& hit) const;
    // Unit direction through image point (x, y) of a width x height image,
    // in pixels from the top-left corner (pixel (u, v) spans u .. u + 1).
    void rayThrough(double x, double y, int width, int height, double dir[3]) const;

    // Scenes that change with every frame (the checkerboard) are shown as
    // in frame `frame` from now on; others do not change.
    void setFrame(uint64_t frame);
    bool changesEveryFrame() const { return sceneKind == SceneKind::CHECKERBOARD; }
    // Camera-frame position (mm) of the board's inner corner (col, row) in
    // the current frame's pose.
    void boardCorner(int col, int row, double out[3]) const;

    // Whether the scene is objects before a wall facing the camera: the
    // wall then looks the same from every origin on the camera's x axis.
    bool wallBehindObjects() const;
    // That wall alone along a ray, as trace answers for a ray that meets no
    // object; false for other scenes or when the ray misses it.
    bool traceWall(const double origin[3], const double dir[3], SceneHit& hit) const;
    // Eight corners each of convex hulls around the objects before the
    // wall (at most kMaxObjectHulls): a ray meeting an object passes
    // through its hull. 0 for scenes without such objects.
    int objectHulls(double corners[][8][3]) const;

    // The box turns every ray into its own frame: a caller tracing many
    // rays from one origin may turn the directions once and the origin
    // once, and traceTurned then answers exactly what trace would.
    bool turnsRays() const { return sceneKind == SceneKind::BOX; }
    void turnDirection(const double dir[3], double out[3]) const;
    void turnOrigin(const double origin[3], double out[3]) const;
    bool traceTurned(const double origin[3], const double dir[3], const double turnedOrigin[3],
                     const double turnedDir[3], SceneHit& hit) const;

    // One flat face of the box as an origin sees it: the axis it is square
    // to and the plane it lies in, both in the box's frame, its albedo, and
    // its four corners' image points (x/z, y/z from the origin) in order
    // around it.
    struct FaceView {
        int axis;
        double plane;
        float albedo;
        double x[4], y[4];
    };
    static constexpr int kMaxFacesSeen = 3;
    // The box's faces turned towards `origin`. A ray from there whose image
    // point lies inside a face's corners enters the box through that face
    // (the box is convex and nothing stands before it), and traceTurned
    // answers, to the bit, faceDistance and faceCosine with the face's
    // albedo. 0 for other scenes, or when a corner is not ahead of the
    // origin.
    int facesSeen(const double origin[3], FaceView faces[kMaxFacesSeen]) const;
    static double faceDistance(const FaceView& face, const double turnedOrigin[3], const double turnedDir[3])
    {
        return (face.plane - turnedOrigin[face.axis]) / turnedDir[face.axis];
    }
    static double faceCosine(const FaceView& face, const double turnedDir[3])
    {
        return std::fabs(turnedDir[face.axis]);
    }

    SceneKind kind() const { return sceneKind; }
    const SceneParams& params() const { return sceneParams; }

private:
    SceneKind sceneKind;
    SceneParams sceneParams;
    BoardPose pose{};
    double halfViewTan;
    double boxTurn[4] = {1.0, 0.0, 1.0, 0.0};
};

constexpr int kMaxObjectHulls = 4;

// Fills `scene` (already width x height) as makeScene does, from a geometry
// in the frame it was set to; no noise.
void renderScene(const SceneGeometry& geometry, Scene& scene);

// Sub-samples per pixel side the truth's coverage is measured with.
constexpr int kTruthSubSamples = 8;

// Ground truth of a width x height image seen from `origin`, from the
// geometry alone: the radial distance (mm, from the camera centre at the
// origin) of the surface on each pixel's centre ray (0 where the ray meets
// nothing), and the fraction of the pixel's area on which that same object
// shows (sampled kTruthSubSamples x kTruthSubSamples). Either output may be
// null.
void sceneTruth(const SceneGeometry& geometry, int width, int height, const double origin[3], float* depthMm,
                float* coverage);

// Reproducible Gaussian noise (splitmix64 + Box-Muller), identical on every
// platform for a given seed.
class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : state(seed) {}
    // Uniform in (0, 1].
    double uniform();
    // Standard normal.
    double gaussian();

private:
    uint64_t state;
    bool haveSpare = false;
    double spare = 0.0;
};

// Sensor side of the model: how light becomes a sample.
struct CorrelationModel {
    // Amplitude in sample units of a perfect reflector at 1 m.
    double gainAt1m = 400.0;
    // Common offset of all four samples (ambient light, dark level); it
    // cancels in the differences the decoders use.
    double offset = 0.0;
    // Standard deviation of the per-sample noise, in sample units; used only
    // when a NoiseSource is given.
    double noise = 0.0;
    int minSample = -1024;
    int maxSample = 1023;
};

// Round-trip phase in radians, not wrapped. Inline: the sensor model takes
// one per sub-ray.
inline double phaseOf(double depthMm, double freqHz)
{
    return 4.0 * kPi * freqHz * (depthMm / 1000.0) / kSpeedOfLight;
}
// Correlation amplitude A of a pixel, in sample units, before saturation.
double amplitudeOf(const ScenePixel& pixel, const CorrelationModel& model);
// The ideal (unrounded, unsaturated, noiseless) sample at reference advance
// `thetaRad`.
double correlationValue(const ScenePixel& pixel, double freqHz, double thetaRad,
                        const CorrelationModel& model);
// The sample a module reports at phase step `step` (0..3, 90° apart):
// noise (if `noise` is given), rounding and saturation applied.
int16_t correlationSample(const ScenePixel& pixel, double freqHz, unsigned step,
                          const CorrelationModel& model, NoiseSource* noise = nullptr);
// One whole plane of samples at `step`, row-major, scene.width x scene.height.
void renderCorrelationPlane(const Scene& scene, double freqHz, unsigned step,
                            const CorrelationModel& model, NoiseSource* noise, int16_t* out);
// 12-bit two's-complement word, moved up by `shift` bits.
uint16_t encodeSample(int16_t sample, unsigned shift);

// 240 x 180 module.
constexpr int kHqvgaWidth = 240;
constexpr int kHqvgaHeight = 180;
constexpr size_t kHqvgaPlaneWords = static_cast<size_t>(kHqvgaWidth) * kHqvgaHeight;

// The modulation frequency the module runs at for a RANGE value, given the
// frequency before it (other values leave the frequency unchanged).
double hqvgaFrequencyFor(int rangeMm, double previousHz);
// The phase step sub-frame k (0..3) carries in the range `rangeMm`; see the
// table above.
unsigned hqvgaSubFrameStep(int rangeMm, unsigned k);
// Four sub-frames as the module delivers them (P0..P3 back to back, each
// 240 x 180 words) for `scene` (which must be 240 x 180), modulated at
// `freqHz`, ordered for `rangeMm`, encoded with `shift`. False (nothing
// written) for a scene of another size.
bool renderHqvgaSubFrames(const Scene& scene, double freqHz, int rangeMm, unsigned shift,
                          uint16_t* out, const CorrelationModel& model = {},
                          NoiseSource* noise = nullptr);

} // namespace Quorvex::sim
