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

Vec3 toVec(const double v[3])
{
    return {v[0], v[1], v[2]};
}

// Hit of a ray from `o` along `d`: distance along it and the cosine between
// ray and surface normal.
struct Hit {
    double t;
    double cosine;
};

Hit hitWallFacingCamera(const Vec3& o, const Vec3& d, double distanceMm)
{
    return {(distanceMm - o.z) / d.z, d.z};
}

Hit hitTiltedWall(const Vec3& o, const Vec3& d, double distanceMm, double tiltRad)
{
    // Plane z = D + x * tan(tilt): farther to the right.
    const double t = (distanceMm + o.x * std::tan(tiltRad) - o.z) / (d.z - d.x * std::tan(tiltRad));
    const Vec3 normal{-std::sin(tiltRad), 0.0, std::cos(tiltRad)};
    return {t, std::fabs(dot(normal, d))};
}

bool hitSphere(const Vec3& o, const Vec3& d, const Vec3& c, double radius, Hit& hit)
{
    const Vec3 centre{c.x - o.x, c.y - o.y, c.z - o.z};
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

// Slab test of a ray (already in the box's frame) against the box
// |p| <= half on each axis; `axis` is the axis of the face it enters.
bool hitSlabs(const double oa[3], const double ra[3], const double half[3], double& t, int& axis)
{
    double tNear = -1e300, tFar = 1e300;
    int nearAxis = -1;
    for (int a = 0; a < 3; ++a) {
        if (std::fabs(ra[a]) < 1e-12) {
            if (std::fabs(oa[a]) > half[a])
                return false;
            continue;
        }
        double t1 = (-half[a] - oa[a]) / ra[a];
        double t2 = (half[a] - oa[a]) / ra[a];
        if (t1 > t2)
            std::swap(t1, t2);
        if (t1 > tNear) {
            tNear = t1;
            nearAxis = a;
        }
        tFar = std::min(tFar, t2);
    }
    if (nearAxis < 0 || tNear > tFar || tNear <= 0.0)
        return false;
    t = tNear;
    axis = nearAxis;
    return true;
}

// Inverse of the box's turn (pitch undone, then yaw): camera axes to the
// box's. Never inlined, so that a direction turned once ahead and one turned
// in trace are the same code's result, whatever multiply-adds a compiler
// would fuse in either place.
[[gnu::noinline]] Vec3 toBoxFrame(const Vec3& v, const double turn[4])
{
    const double cp = turn[0], sp = turn[1];
    const Vec3 a{v.x, cp * v.y - sp * v.z, sp * v.y + cp * v.z};
    const double cy = turn[2], sy = turn[3];
    return Vec3{cy * a.x + sy * a.z, a.y, -sy * a.x + cy * a.z};
}

// Cube of half-edge `half` about the origin of its own frame, the ray's
// origin `o` and direction `r` already in that frame.
bool hitTurnedBox(const Vec3& o, const Vec3& r, double half, Hit& hit, int& face)
{
    const double oa[3] = {o.x, o.y, o.z};
    const double ra[3] = {r.x, r.y, r.z};
    const double halves[3] = {half, half, half};
    double t = 0.0;
    int axis = 0;
    if (!hitSlabs(oa, ra, halves, t, axis))
        return false;
    hit = {t, std::fabs(ra[axis])};
    face = axis;
    return true;
}

// The four boxes of the steps scene, left to right: front faces at 1/2,
// 5/8, 3/4 and 7/8 of the wall's distance, each a quarter of the view wide
// at its own depth, so their silhouettes sit in different columns.
struct StepBox {
    double centre[3];
    double half[3];
};

StepBox stepBox(int i, const SceneParams& p)
{
    const double front = p.distanceMm * (0.5 + 0.125 * i);
    const double halfView = front * std::tan(p.fieldOfViewDeg * kPi / 360.0);
    const double depthHalf = p.distanceMm * 0.05;
    return {{halfView * (-0.66 + 0.44 * i), 0.0, front + depthHalf},
            {halfView * 0.17, halfView * 0.45, depthHalf}};
}

Vec3 boxCentre(const SceneParams& p)
{
    return {0.0, 0.0, p.objectDistanceMm + p.objectSizeMm};
}

// The box scene along a ray given both in camera axes and in the box's.
void boxHit(const Vec3& o, const Vec3& d, const Vec3& ob, const Vec3& db, const SceneParams& p, Hit& hit,
            float& albedo, int& object)
{
    hit = hitWallFacingCamera(o, d, p.distanceMm);
    Hit h;
    int face = 0;
    if (hitTurnedBox(ob, db, p.objectSizeMm, h, face)) {
        hit = h;
        // Faces of different paint, so amplitude edges show too.
        albedo = p.objectAlbedo * (face == 0 ? 0.6f : face == 1 ? 0.8f : 1.0f);
        object = 1;
        // Only the distance and cosine matter for the box's faces: its
        // normal is left facing the camera (the box is convex, it sends no
        // light to itself).
    }
}

bool finishHit(const Vec3& o, const Vec3& d, const Hit& hit, float albedo, int object, const Vec3& normal,
               SceneHit& out)
{
    if (!(hit.t > 0.0) || !std::isfinite(hit.t))
        return false;
    out.t = hit.t;
    out.cosine = hit.cosine;
    out.albedo = albedo;
    out.object = object;
    out.point[0] = o.x + d.x * hit.t;
    out.point[1] = o.y + d.y * hit.t;
    out.point[2] = o.z + d.z * hit.t;
    out.normal[0] = normal.x;
    out.normal[1] = normal.y;
    out.normal[2] = normal.z;
    return true;
}

} // namespace

SceneGeometry::SceneGeometry(SceneKind kind, const SceneParams& params)
    : sceneKind(kind), sceneParams(params), halfViewTan(std::tan(params.fieldOfViewDeg * kPi / 360.0))
{
    // The box's turn (yaw 30, pitch -20 degrees: three of its faces show),
    // inverted; worked out once, as trace runs for every sub-ray.
    const double deg = kPi / 180.0;
    boxTurn[0] = std::cos(-(-20.0 * deg));
    boxTurn[1] = std::sin(-(-20.0 * deg));
    boxTurn[2] = std::cos(-(30.0 * deg));
    boxTurn[3] = std::sin(-(30.0 * deg));
    setFrame(0);
}

bool SceneGeometry::wallBehindObjects() const
{
    return sceneKind == SceneKind::SPHERE || sceneKind == SceneKind::BOX || sceneKind == SceneKind::STEPS;
}

bool SceneGeometry::traceWall(const double origin[3], const double dir[3], SceneHit& out) const
{
    if (!wallBehindObjects())
        return false;
    // What trace answers for a ray meeting none of the objects, to the bit.
    const Hit hit = hitWallFacingCamera(toVec(origin), toVec(dir), sceneParams.distanceMm);
    if (!(hit.t > 0.0) || !std::isfinite(hit.t))
        return false;
    out.t = hit.t;
    out.cosine = hit.cosine;
    out.albedo = sceneParams.wallAlbedo;
    out.object = 0;
    for (int a = 0; a < 3; ++a) {
        out.point[a] = origin[a] + dir[a] * hit.t;
        out.normal[a] = a == 2 ? -1.0 : 0.0;
    }
    return true;
}

int SceneGeometry::objectHulls(double corners[][8][3]) const
{
    const SceneParams& p = sceneParams;
    int hulls = 0;
    auto addBox = [&](const double centre[3], const double half[3], bool turned) {
        for (int k = 0; k < 8; ++k) {
            double v[3] = {(k & 1) ? half[0] : -half[0], (k & 2) ? half[1] : -half[1], (k & 4) ? half[2] : -half[2]};
            if (turned) {
                // The box's frame back to the camera's: the transpose of
                // toBoxFrame (yaw back, then pitch back).
                const double cp = boxTurn[0], sp = boxTurn[1], cy = boxTurn[2], sy = boxTurn[3];
                const double ax = cy * v[0] - sy * v[2];
                const double az = sy * v[0] + cy * v[2];
                const double by = cp * v[1] + sp * az;
                const double bz = -sp * v[1] + cp * az;
                v[0] = ax;
                v[1] = by;
                v[2] = bz;
            }
            for (int a = 0; a < 3; ++a)
                corners[hulls][k][a] = centre[a] + v[a];
        }
        ++hulls;
    };
    switch (sceneKind) {
    case SceneKind::SPHERE: {
        const double centre[3] = {0.0, 0.0, p.objectDistanceMm};
        const double half[3] = {p.objectSizeMm, p.objectSizeMm, p.objectSizeMm};
        addBox(centre, half, false);
        break;
    }
    case SceneKind::BOX: {
        const double centre[3] = {0.0, 0.0, p.objectDistanceMm + p.objectSizeMm};
        const double half[3] = {p.objectSizeMm, p.objectSizeMm, p.objectSizeMm};
        addBox(centre, half, true);
        break;
    }
    case SceneKind::STEPS:
        for (int i = 0; i < 4; ++i) {
            const StepBox b = stepBox(i, p);
            addBox(b.centre, b.half, false);
        }
        break;
    default:
        break;
    }
    return hulls;
}

int SceneGeometry::facesSeen(const double origin[3], FaceView faces[kMaxFacesSeen]) const
{
    if (sceneKind != SceneKind::BOX)
        return 0;
    const SceneParams& p = sceneParams;
    const double half = p.objectSizeMm;
    double ob[3];
    turnOrigin(origin, ob);
    const Vec3 c = boxCentre(p);
    int count = 0;
    for (int axis = 0; axis < 3; ++axis) {
        // A face is seen from outside its plane only; hitSlabs enters
        // through -half along a positive direction, +half along a negative.
        if (std::fabs(ob[axis]) <= half)
            continue;
        FaceView& f = faces[count];
        f.axis = axis;
        f.plane = ob[axis] > 0.0 ? half : -half;
        f.albedo = p.objectAlbedo * (axis == 0 ? 0.6f : axis == 1 ? 0.8f : 1.0f);
        for (int k = 0; k < 4; ++k) {
            double v[3];
            v[axis] = f.plane;
            v[(axis + 1) % 3] = (k == 1 || k == 2) ? half : -half;
            v[(axis + 2) % 3] = k >= 2 ? half : -half;
            // Back to the camera's frame, as objectHulls turns the corners.
            const double cp = boxTurn[0], sp = boxTurn[1], cy = boxTurn[2], sy = boxTurn[3];
            const double ax = cy * v[0] - sy * v[2];
            const double az = sy * v[0] + cy * v[2];
            const double by = cp * v[1] + sp * az;
            const double bz = -sp * v[1] + cp * az;
            const double z = c.z + bz - origin[2];
            if (!(z > 1.0))
                return 0;
            f.x[k] = (c.x + ax - origin[0]) / z;
            f.y[k] = (c.y + by - origin[1]) / z;
        }
        ++count;
    }
    return count;
}

void LensModel::distort(double x, double y, double& xd, double& yd) const
{
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
    xd = x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
    yd = y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
}

bool LensModel::undistort(double xd, double yd, double& x, double& y) const
{
    // Newton's method on the 2 x 2 map, from the distorted point itself:
    // quadratic convergence for any lens that does not fold the image.
    constexpr int kIterations = 30;
    x = xd;
    y = yd;
    for (int n = 0; n < kIterations; ++n) {
        const double r2 = x * x + y * y;
        const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
        const double slope = k1 + r2 * (2.0 * k2 + 3.0 * k3 * r2); // d radial / d r^2
        double ex, ey;
        distort(x, y, ex, ey);
        ex -= xd;
        ey -= yd;
        const double a = radial + 2.0 * x * x * slope + 2.0 * p1 * y + 6.0 * p2 * x;
        const double b = 2.0 * x * y * slope + 2.0 * p1 * x + 2.0 * p2 * y;
        const double d = radial + 2.0 * y * y * slope + 6.0 * p1 * y + 2.0 * p2 * x;
        const double det = a * d - b * b;
        if (!(std::fabs(det) > 1e-12))
            return false;
        const double dx = (d * ex - b * ey) / det;
        const double dy = (a * ey - b * ex) / det;
        x -= dx;
        y -= dy;
        if (std::fabs(dx) < 1e-15 && std::fabs(dy) < 1e-15)
            break;
    }
    double ex, ey;
    distort(x, y, ex, ey);
    return std::fabs(ex - xd) < 1e-10 && std::fabs(ey - yd) < 1e-10;
}

bool LensModel::project(const double p[3], double& u, double& v) const
{
    if (!(p[2] > 0.0))
        return false;
    double xd, yd;
    distort(p[0] / p[2], p[1] / p[2], xd, yd);
    u = fx * xd + cx;
    v = fy * yd + cy;
    return true;
}

bool LensModel::ray(double u, double v, double dir[3]) const
{
    double x, y;
    const bool ok = undistort((u - cx) / fx, (v - cy) / fy, x, y);
    const double n = std::sqrt(x * x + y * y + 1.0);
    dir[0] = x / n;
    dir[1] = y / n;
    dir[2] = 1.0 / n;
    return ok;
}

LensModel nominalLens(int width, int height, double fieldOfViewDeg)
{
    LensModel lens;
    lens.fx = lens.fy = (width / 2.0) / std::tan(fieldOfViewDeg * kPi / 360.0);
    lens.cx = (width - 1) / 2.0;
    lens.cy = (height - 1) / 2.0;
    return lens;
}

double checkerboardWallMm(const SceneParams& p)
{
    // Far enough behind every pose that the board stands out in depth.
    return std::max(p.distanceMm, 2000.0);
}

BoardPose checkerboardPose(uint64_t frame, const SceneParams& p)
{
    // Poses a person calibrating would show: the board in each region of
    // the image in turn (3 x 3, so every region comes back every 9
    // frames), at distances that do not repeat with the regions, tilted
    // both ways about both axes. Incommensurate rates keep the pattern
    // from repeating within any useful number of frames.
    const double deg = kPi / 180.0;
    const double f = static_cast<double>(frame % 100000);
    auto wave = [&](double rate, double phase) { return std::sin(2.0 * kPi * (f * rate + phase)); };
    const double golden = 0.6180339887498949;
    const double spread = f * golden - std::floor(f * golden);
    const double distance = 600.0 + 600.0 * spread;
    const double yaw = 35.0 * deg * wave(0.1731, 0.13);
    const double pitch = 35.0 * deg * wave(0.2713, 0.41);
    const double roll = 10.0 * deg * wave(0.1192, 0.67);

    const double cy = std::cos(yaw), sy = std::sin(yaw);
    const double cp = std::cos(pitch), sp = std::sin(pitch);
    const double cr = std::cos(roll), sr = std::sin(roll);
    // R = Ry(yaw) Rx(pitch) Rz(roll): turned in its own plane first, then
    // tilted about the image's axes; the board's axes are R's columns.
    const double r[3][3] = {
        {cy * cr + sy * sp * sr, -cy * sr + sy * sp * cr, sy * cp},
        {cp * sr, cp * cr, -sp},
        {-sy * cr + cy * sp * sr, sy * sr + cy * sp * cr, cy * cp},
    };
    BoardPose pose{};
    for (int a = 0; a < 3; ++a) {
        pose.across[a] = r[a][0];
        pose.down[a] = r[a][1];
        pose.normal[a] = r[a][2];
    }
    // The whole board (with its white margin of one square) inside the
    // nominal view, whatever its turn: its centre's direction keeps the
    // board's half-diagonal, seen from the distance of its nearest point,
    // off the image's edges.
    const double halfW = (p.boardCols + 3) / 2.0 * p.boardSquareMm;
    const double halfH = (p.boardRows + 3) / 2.0 * p.boardSquareMm;
    const double reach = std::sqrt(halfW * halfW + halfH * halfH);
    const double nearest = distance - reach * std::sqrt(1.0 - pose.normal[2] * pose.normal[2]);
    const double spanX = std::tan(p.fieldOfViewDeg * deg / 2.0);
    const double spanY = spanX * 0.75;
    const double extentX = (std::fabs(pose.across[0]) * halfW + std::fabs(pose.down[0]) * halfH) / nearest;
    const double extentY = (std::fabs(pose.across[1]) * halfW + std::fabs(pose.down[1]) * halfH) / nearest;
    const double maxX = std::max(0.0, spanX - extentX - 0.02);
    const double maxY = std::max(0.0, spanY - extentY - 0.02);
    const int region = static_cast<int>(frame % 9);
    const double gx = (region % 3) - 1.0 + 0.15 * wave(0.0937, 0.2);
    const double gy = (region / 3) - 1.0 + 0.15 * wave(0.0771, 0.5);
    pose.centre[0] = distance * maxX * std::max(-1.0, std::min(1.0, gx));
    pose.centre[1] = distance * maxY * std::max(-1.0, std::min(1.0, gy));
    pose.centre[2] = distance;
    // Perspective makes the near side larger than the estimate above:
    // draw the board in towards the axis until its sheet's corners are in.
    for (int tries = 0; tries < 40; ++tries) {
        bool inside = true;
        for (int corner = 0; corner < 4; ++corner) {
            const double sx = corner & 1 ? halfW : -halfW;
            const double sy = corner & 2 ? halfH : -halfH;
            double q[3];
            for (int a = 0; a < 3; ++a)
                q[a] = pose.centre[a] + sx * pose.across[a] + sy * pose.down[a];
            inside = inside && q[2] > 0.0 && std::fabs(q[0] / q[2]) < spanX - 0.01 &&
                     std::fabs(q[1] / q[2]) < spanY - 0.01;
        }
        if (inside)
            break;
        pose.centre[0] *= 0.9;
        pose.centre[1] *= 0.9;
    }
    return pose;
}

void SceneGeometry::setFrame(uint64_t frame)
{
    if (sceneKind == SceneKind::CHECKERBOARD)
        pose = checkerboardPose(frame, sceneParams);
}

void SceneGeometry::boardCorner(int col, int row, double out[3]) const
{
    const SceneParams& p = sceneParams;
    const double a = (col - (p.boardCols - 1) / 2.0) * p.boardSquareMm;
    const double b = (row - (p.boardRows - 1) / 2.0) * p.boardSquareMm;
    for (int i = 0; i < 3; ++i)
        out[i] = pose.centre[i] + a * pose.across[i] + b * pose.down[i];
}

void SceneGeometry::rayThrough(double x, double y, int width, int height, double dir[3]) const
{
    if (sceneParams.hasLens) {
        // Image points count from the pixel's corner, the lens from its
        // centre.
        sceneParams.lens.ray(x - 0.5, y - 0.5, dir);
        return;
    }
    const double focalPx = (width / 2.0) / halfViewTan;
    const Vec3 d{(x - width / 2.0) / focalPx, (y - height / 2.0) / focalPx, 1.0};
    const double n = std::sqrt(dot(d, d));
    dir[0] = d.x / n;
    dir[1] = d.y / n;
    dir[2] = d.z / n;
}

bool SceneGeometry::trace(const double origin[3], const double dir[3], SceneHit& out) const
{
    const SceneParams& p = sceneParams;
    const Vec3 o = toVec(origin);
    const Vec3 d = toVec(dir);
    const double deg = kPi / 180.0;
    Hit hit{0.0, 0.0};
    float albedo = p.wallAlbedo;
    int object = 0;
    Vec3 normal{0.0, 0.0, -1.0};
    switch (sceneKind) {
    case SceneKind::TILTED_WALL:
        hit = hitTiltedWall(o, d, p.distanceMm, p.tiltDeg * deg);
        normal = {std::sin(p.tiltDeg * deg), 0.0, -std::cos(p.tiltDeg * deg)};
        break;
    case SceneKind::SPHERE: {
        hit = hitWallFacingCamera(o, d, p.distanceMm);
        Hit h;
        const Vec3 centre{0.0, 0.0, p.objectDistanceMm};
        if (hitSphere(o, d, centre, p.objectSizeMm, h)) {
            hit = h;
            albedo = p.objectAlbedo;
            object = 1;
            normal = {(o.x + d.x * h.t - centre.x) / p.objectSizeMm, (o.y + d.y * h.t - centre.y) / p.objectSizeMm,
                      (o.z + d.z * h.t - centre.z) / p.objectSizeMm};
        }
        break;
    }
    case SceneKind::BOX: {
        const Vec3 c = boxCentre(p);
        const Vec3 ob = toBoxFrame({o.x - c.x, o.y - c.y, o.z - c.z}, boxTurn);
        boxHit(o, d, ob, toBoxFrame(d, boxTurn), p, hit, albedo, object);
        break;
    }
    case SceneKind::CORNER: {
        // Inside the room every plane is ahead of the ray or behind it; the
        // surface seen is the nearest plane ahead.
        const double s = std::sqrt(0.5);
        const Vec3 planes[3] = {{-s, 0.0, s}, {s, 0.0, s}, {0.0, 1.0, 0.0}};
        const double offsets[3] = {p.distanceMm * s, p.distanceMm * s, p.floorDropMm};
        double best = 1e300;
        for (int i = 0; i < 3; ++i) {
            const double towards = dot(planes[i], d);
            if (towards <= 1e-12)
                continue;
            const double t = (offsets[i] - dot(planes[i], o)) / towards;
            if (t > 0.0 && t < best) {
                best = t;
                hit = {t, towards};
                object = i;
                normal = {-planes[i].x, -planes[i].y, -planes[i].z};
            }
        }
        if (best == 1e300)
            return false;
        albedo = object == 2 ? p.wallAlbedo * 0.7f : p.wallAlbedo;
        break;
    }
    case SceneKind::CHECKERBOARD: {
        hit = hitWallFacingCamera(o, d, checkerboardWallMm(p));
        const Vec3 n = toVec(pose.normal);
        const double towards = dot(n, d);
        if (std::fabs(towards) < 1e-12)
            break;
        const Vec3 c = toVec(pose.centre);
        const double t = (dot(n, c) - dot(n, o)) / towards;
        if (!(t > 0.0) || t >= hit.t)
            break;
        const Vec3 at{o.x + d.x * t - c.x, o.y + d.y * t - c.y, o.z + d.z * t - c.z};
        const double s = p.boardSquareMm;
        // Board coordinates in squares from the pattern's corner; the
        // pattern has one square more than inner corners each way, and
        // the sheet a white margin of one square around it.
        const double a = dot(at, toVec(pose.across)) / s + (p.boardCols + 1) / 2.0;
        const double b = dot(at, toVec(pose.down)) / s + (p.boardRows + 1) / 2.0;
        if (a < -1.0 || b < -1.0 || a > p.boardCols + 2.0 || b > p.boardRows + 2.0)
            break;
        const bool inPattern = a >= 0.0 && b >= 0.0 && a < p.boardCols + 1.0 && b < p.boardRows + 1.0;
        const bool dark = inPattern && (static_cast<int>(std::floor(a)) + static_cast<int>(std::floor(b))) % 2 == 0;
        hit = {t, std::fabs(towards)};
        albedo = dark ? p.boardDark : p.boardBright;
        object = 1;
        normal = towards > 0.0 ? Vec3{-n.x, -n.y, -n.z} : n;
        break;
    }
    case SceneKind::STEPS: {
        hit = hitWallFacingCamera(o, d, p.distanceMm);
        for (int i = 0; i < 4; ++i) {
            const StepBox b = stepBox(i, p);
            const double oa[3] = {o.x - b.centre[0], o.y - b.centre[1], o.z - b.centre[2]};
            const double ra[3] = {d.x, d.y, d.z};
            double t = 0.0;
            int axis = 0;
            if (hitSlabs(oa, ra, b.half, t, axis) && t < hit.t) {
                hit = {t, std::fabs(ra[axis])};
                albedo = p.objectAlbedo * (axis == 2 ? 1.0f : 0.7f);
                object = 1 + i;
                normal = {0.0, 0.0, 0.0};
                (&normal.x)[axis] = ra[axis] > 0.0 ? -1.0 : 1.0;
            }
        }
        break;
    }
    }
    return finishHit(o, d, hit, albedo, object, normal, out);
}

void SceneGeometry::turnDirection(const double dir[3], double out[3]) const
{
    const Vec3 r = toBoxFrame(toVec(dir), boxTurn);
    out[0] = r.x;
    out[1] = r.y;
    out[2] = r.z;
}

void SceneGeometry::turnOrigin(const double origin[3], double out[3]) const
{
    const Vec3 c = boxCentre(sceneParams);
    const Vec3 r = toBoxFrame({origin[0] - c.x, origin[1] - c.y, origin[2] - c.z}, boxTurn);
    out[0] = r.x;
    out[1] = r.y;
    out[2] = r.z;
}

bool SceneGeometry::traceTurned(const double origin[3], const double dir[3], const double turnedOrigin[3],
                                const double turnedDir[3], SceneHit& out) const
{
    const Vec3 o = toVec(origin);
    const Vec3 d = toVec(dir);
    Hit hit{0.0, 0.0};
    float albedo = sceneParams.wallAlbedo;
    int object = 0;
    boxHit(o, d, toVec(turnedOrigin), toVec(turnedDir), sceneParams, hit, albedo, object);
    return finishHit(o, d, hit, albedo, object, {0.0, 0.0, -1.0}, out);
}

Scene makeScene(SceneKind kind, int width, int height, const SceneParams& p)
{
    Scene scene(width, height);
    const SceneGeometry geometry(kind, p);
    renderScene(geometry, scene);
    if (p.depthNoiseMm > 0.0) {
        NoiseSource noise(p.seed);
        for (ScenePixel& px : scene.pixels)
            px.depthMm = static_cast<float>(std::max(1.0, px.depthMm + p.depthNoiseMm * noise.gaussian()));
    }
    return scene;
}

void renderScene(const SceneGeometry& geometry, Scene& scene)
{
    const int width = scene.width, height = scene.height;
    const double origin[3] = {0.0, 0.0, 0.0};
    for (int v = 0; v < height; ++v) {
        for (int u = 0; u < width; ++u) {
            double d[3];
            geometry.rayThrough(u + 0.5, v + 0.5, width, height, d);
            SceneHit hit;
            if (!geometry.trace(origin, d, hit)) {
                // Nothing within reach: as dark and far as a sample can say.
                scene.at(u, v) = {1e6f, 0.0f};
                continue;
            }
            scene.at(u, v) = {static_cast<float>(hit.t), static_cast<float>(hit.albedo * hit.cosine)};
        }
    }
}

void sceneTruth(const SceneGeometry& geometry, int width, int height, const double origin[3], float* depthMm,
                float* coverage)
{
    constexpr int n = kTruthSubSamples;
    for (int v = 0; v < height; ++v) {
        for (int u = 0; u < width; ++u) {
            const size_t at = static_cast<size_t>(v) * width + u;
            double d[3];
            geometry.rayThrough(u + 0.5, v + 0.5, width, height, d);
            SceneHit centre;
            const bool seen = geometry.trace(origin, d, centre);
            if (depthMm)
                depthMm[at] = seen ? static_cast<float>(centre.t) : 0.0f;
            if (!coverage)
                continue;
            int same = 0;
            for (int j = 0; j < n && seen; ++j) {
                for (int i = 0; i < n; ++i) {
                    geometry.rayThrough(u + (i + 0.5) / n, v + (j + 0.5) / n, width, height, d);
                    SceneHit hit;
                    same += geometry.trace(origin, d, hit) && hit.object == centre.object;
                }
            }
            coverage[at] = static_cast<float>(same) / (n * n);
        }
    }
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
