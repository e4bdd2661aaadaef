#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/SceneModel.h"

namespace sim = Quorvex::sim;

TEST(SceneModel, PhaseAndCorrelationPhysics)
{
    for (double f : {37.5e6, 75e6, 100e6}) {
        // Half a wavelength of round trip is a full turn of phase.
        const double unambiguousMm = sim::kSpeedOfLight / (2.0 * f) * 1000.0;
        EXPECT_NEAR(sim::phaseOf(unambiguousMm, f), 2.0 * sim::kPi, 1e-12);
        EXPECT_NEAR(sim::phaseOf(unambiguousMm / 4.0, f), sim::kPi / 2.0, 1e-12);
    }
    sim::CorrelationModel model;
    model.offset = 10.0;
    // A quarter turn at 1 m: A = gain * 0.5, samples offset + A cos(pi/2 + step * pi/2).
    const double f = sim::kSpeedOfLight / 8.0; // phase pi/2 at 1000 mm
    const sim::ScenePixel px{1000.0f, 0.5f};
    EXPECT_DOUBLE_EQ(sim::amplitudeOf(px, model), 200.0);
    const int16_t expected[4] = {10, -190, 10, 210};
    for (unsigned step = 0; step < 4; ++step)
        EXPECT_EQ(sim::correlationSample(px, f, step, model), expected[step]) << step;
    // Twice as far, a quarter of the light.
    EXPECT_DOUBLE_EQ(sim::amplitudeOf({2000.0f, 0.5f}, model), 50.0);
    // Saturation at the ends of the 11-bit range.
    model.gainAt1m = 5000.0;
    EXPECT_EQ(sim::correlationSample(px, f, 3, model), 1023);
    EXPECT_EQ(sim::correlationSample(px, f, 1, model), -1024);
}

TEST(SceneModel, SubFrameStepsAndEncoding)
{
    const struct {
        int range;
        unsigned steps[4];
    } orders[] = {{2000, {2, 3, 0, 1}}, {4000, {1, 2, 3, 0}}, {3000, {1, 2, 3, 0}}, {0, {1, 2, 3, 0}}};
    for (const auto& o : orders)
        for (unsigned k = 0; k < 4; ++k)
            EXPECT_EQ(sim::hqvgaSubFrameStep(o.range, k), o.steps[k]) << o.range << " P" << k;
    EXPECT_EQ(sim::hqvgaFrequencyFor(2000, 37.5e6), 75e6);
    EXPECT_EQ(sim::hqvgaFrequencyFor(4000, 75e6), 37.5e6);
    EXPECT_EQ(sim::hqvgaFrequencyFor(3000, 75e6), 75e6);

    const struct {
        int16_t sample;
        unsigned shift;
        uint16_t word;
    } words[] = {{0, 0, 0x0000}, {-1, 0, 0x0FFF}, {-1024, 0, 0x0C00}, {1023, 0, 0x03FF},
                 {-1, 4, 0xFFF0}, {-1024, 4, 0xC000}, {1023, 4, 0x3FF0}, {1, 4, 0x0010}};
    for (const auto& w : words)
        EXPECT_EQ(sim::encodeSample(w.sample, w.shift), w.word) << w.sample << " << " << w.shift;

    std::vector<uint16_t> out(4 * sim::kHqvgaPlaneWords);
    EXPECT_FALSE(sim::renderHqvgaSubFrames(sim::Scene(10, 10), 37.5e6, 4000, 0, out.data()));
}

TEST(SceneModel, SceneGeometry)
{
    sim::SceneParams p;
    const int w = sim::kHqvgaWidth, h = sim::kHqvgaHeight;
    const sim::Scene wall = sim::makeScene(sim::SceneKind::TILTED_WALL, w, h, p);
    EXPECT_NEAR(wall.at(w / 2, h / 2).depthMm, p.distanceMm, 15.0);
    for (int x = 1; x < w; ++x)
        ASSERT_GT(wall.at(x, h / 2).depthMm, wall.at(x - 1, h / 2).depthMm) << x;

    const sim::Scene sphere = sim::makeScene(sim::SceneKind::SPHERE, w, h, p);
    EXPECT_NEAR(sphere.at(w / 2, h / 2).depthMm, p.objectDistanceMm - p.objectSizeMm, 1.0);
    EXPECT_GT(sphere.at(0, 0).depthMm, p.distanceMm); // wall, seen obliquely
    EXPECT_GT(sphere.at(w / 2, h / 2).reflectivity, sphere.at(0, 0).reflectivity);

    const sim::Scene box = sim::makeScene(sim::SceneKind::BOX, w, h, p);
    EXPECT_LT(box.at(w / 2, h / 2).depthMm, p.objectDistanceMm + 2 * p.objectSizeMm);
    EXPECT_GT(box.at(0, 0).depthMm, p.distanceMm);

    for (const sim::Scene* s : {&wall, &sphere, &box})
        for (const sim::ScenePixel& px : s->pixels) {
            ASSERT_GT(px.depthMm, 0.0f);
            ASSERT_GE(px.reflectivity, 0.0f);
            ASSERT_LE(px.reflectivity, 1.0f);
        }
}

TEST(SceneModel, NoiseIsSeededAndGaussian)
{
    sim::SceneParams p;
    p.depthNoiseMm = 5.0;
    p.seed = 42;
    const sim::Scene clean = sim::makeScene(sim::SceneKind::TILTED_WALL, 240, 180);
    const sim::Scene a = sim::makeScene(sim::SceneKind::TILTED_WALL, 240, 180, p);
    const sim::Scene b = sim::makeScene(sim::SceneKind::TILTED_WALL, 240, 180, p);
    p.seed = 43;
    const sim::Scene c = sim::makeScene(sim::SceneKind::TILTED_WALL, 240, 180, p);
    double sum = 0.0, sumSq = 0.0;
    size_t differsFromC = 0;
    for (size_t n = 0; n < clean.pixels.size(); ++n) {
        ASSERT_EQ(a.pixels[n].depthMm, b.pixels[n].depthMm);
        differsFromC += a.pixels[n].depthMm != c.pixels[n].depthMm;
        const double e = a.pixels[n].depthMm - clean.pixels[n].depthMm;
        sum += e;
        sumSq += e * e;
    }
    const double n = static_cast<double>(clean.pixels.size());
    EXPECT_NEAR(sum / n, 0.0, 0.1);
    EXPECT_NEAR(std::sqrt(sumSq / n), 5.0, 0.1);
    EXPECT_GT(differsFromC, clean.pixels.size() * 9 / 10);
}

// A ray whose image point lies inside a face the box shows enters the box
// there: traceTurned answers what the face's plane gives, to the bit, from
// origins moved sideways and along the axis, near the face's edges too.
TEST(SceneModel, BoxFacesAnswerAsTheTrace)
{
    sim::SceneParams params;
    params.objectSizeMm = 1000.0 / 3.0;
    const sim::SceneGeometry box(sim::SceneKind::BOX, params);
    const double origins[][3] = {{0.0, 0.0, 0.0}, {-450.0, 0.0, 0.0}, {700.0, 0.0, 0.0}, {0.0, 0.0, -300.0},
                                 {-90.0, 0.0, 250.0}};
    sim::NoiseSource pick(7);
    for (const auto& origin : origins) {
        SCOPED_TRACE(testing::Message() << origin[0] << " " << origin[2]);
        sim::SceneGeometry::FaceView faces[sim::SceneGeometry::kMaxFacesSeen];
        const int count = box.facesSeen(origin, faces);
        // Turned both ways, the box shows two or three faces from each.
        ASSERT_GE(count, 2);
        double turnedOrigin[3];
        box.turnOrigin(origin, turnedOrigin);
        for (int f = 0; f < count; ++f) {
            const sim::SceneGeometry::FaceView& face = faces[f];
            for (int n = 0; n < 2000; ++n) {
                // A point of the face's image: bilinear in its corners,
                // down to a ten-thousandth of the face from an edge.
                const double a = 1e-4 + (1.0 - 2e-4) * pick.uniform(), b = 1e-4 + (1.0 - 2e-4) * pick.uniform();
                const double x = (1 - b) * ((1 - a) * face.x[0] + a * face.x[1]) + b * ((1 - a) * face.x[3] + a * face.x[2]);
                const double y = (1 - b) * ((1 - a) * face.y[0] + a * face.y[1]) + b * ((1 - a) * face.y[3] + a * face.y[2]);
                const double norm = std::sqrt(x * x + y * y + 1.0);
                const double dir[3] = {x / norm, y / norm, 1.0 / norm};
                double turnedDir[3];
                box.turnDirection(dir, turnedDir);
                sim::SceneHit hit;
                ASSERT_TRUE(box.traceTurned(origin, dir, turnedOrigin, turnedDir, hit));
                ASSERT_EQ(hit.object, 1);
                ASSERT_EQ(hit.t, sim::SceneGeometry::faceDistance(face, turnedOrigin, turnedDir)) << f << " " << a << " " << b;
                ASSERT_EQ(hit.cosine, sim::SceneGeometry::faceCosine(face, turnedDir));
                ASSERT_EQ(hit.albedo, face.albedo);
            }
        }
    }
    // Other scenes have no faces to offer.
    const double origin[3] = {0.0, 0.0, 0.0};
    sim::SceneGeometry::FaceView faces[sim::SceneGeometry::kMaxFacesSeen];
    EXPECT_EQ(sim::SceneGeometry(sim::SceneKind::STEPS, params).facesSeen(origin, faces), 0);
}
