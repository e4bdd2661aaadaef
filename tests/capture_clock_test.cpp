// The capture-time estimator on long synthetic streams whose truth is known.
#include "camera/CaptureClock.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Quorvex::CaptureClock;
using Quorvex::FrameTiming;

constexpr double kPi = 3.14159265358979323846;

struct Stream {
    const char* name;
    double seconds;
    double unitNs;         // the module's stamp unit
    double fps;
    double driftPpm;       // mean drift
    double driftSwingPpm;  // plus a swing of this size ...
    double swingPeriodS;   // ... over this period
    double latencyMs;      // fixed part of the delay (offset-like)
    double knownDelayMs;   // what the caller says it knows of it
    double jitterMs;       // uniform extra delay
    int spikeEvery;        // every n-th frame 30 ms late (0: never)
    double lossRate;
    std::vector<double> restartsAtS;  // module clock back to 0
    std::vector<double> jumpsMs;      // clock jumps (+ ahead, - back) ...
    std::vector<double> jumpsAtS;     // ... at these times
    double medianMs;       // bounds after settling
    double p99Ms;
    // A busy host: now and then, for 0.5 ... 2.5 s, every frame is late by
    // up to 40 ms more, half of them by 8 ms on top.
    bool busy = false;
};

struct Errors {
    std::vector<double> settled;  // after 3 s and 1 s after every restart or jump
    uint32_t restarts = 0;
    double unitNs = 0.0;
    double driftPpm = 0.0;
    std::vector<int64_t> estimates;
};

Errors run(const Stream& s)
{
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    CaptureClock clock;
    Errors out;
    const double periodNs = 1e9 / s.fps;
    double host = 5e12, module = 3e9, t = 0.0, lastBreak = -1e18;
    size_t restart = 0, jump = 0;
    double busyUntil = 0.0, hog = 0.0;
    for (int64_t n = 1; t < s.seconds * 1e9; ++n) {
        const double ppm = s.driftPpm + s.driftSwingPpm * std::sin(2.0 * kPi * t / (s.swingPeriodS * 1e9));
        // The module paces frames by its own clock.
        const double step = periodNs / (1.0 + ppm * 1e-6);
        host += step;
        t += step;
        module += periodNs;
        if (restart < s.restartsAtS.size() && t >= s.restartsAtS[restart] * 1e9) {
            module = 0.0;
            lastBreak = t;
            ++restart;
        }
        if (jump < s.jumpsAtS.size() && t >= s.jumpsAtS[jump] * 1e9) {
            module += s.jumpsMs[jump] * 1e6;
            lastBreak = t;
            ++jump;
        }
        if (uniform(rng) < s.lossRate)
            continue;
        double delay = (s.latencyMs + s.jitterMs * uniform(rng)) * 1e6 + 30e3 * uniform(rng);
        if (s.spikeEvery && n % s.spikeEvery == 0)
            delay += 30e6;
        if (s.busy) {
            if (t > busyUntil && uniform(rng) < 0.01) {
                busyUntil = t + (0.5 + 2.0 * uniform(rng)) * 1e9;
                hog = 40e6 * uniform(rng);
            }
            if (t < busyUntil)
                delay += hog * uniform(rng) + (uniform(rng) < 0.5 ? 8e6 : 0.0);
        }
        const int64_t stamp = static_cast<int64_t>(std::floor(module / s.unitNs));
        const FrameTiming timing = clock.update(stamp, static_cast<int64_t>(std::llround(host + delay)),
                                                static_cast<int64_t>(s.knownDelayMs * 1e6));
        out.estimates.push_back(timing.captureNs);
        // The stamped instant: when the module's clock read the stamp's
        // value, plus half a unit.
        if (t > 3e9 && t > lastBreak + 1e9) {
            EXPECT_TRUE(timing.mapped);
            out.settled.push_back((static_cast<double>(timing.captureNs) - (host + s.latencyMs * 1e6 - s.knownDelayMs * 1e6)) / 1e6);
        }
    }
    out.restarts = clock.restarts();
    out.unitNs = clock.unitNs();
    out.driftPpm = clock.driftPpm();
    return out;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double p99Abs(std::vector<double> v)
{
    for (double& x : v)
        x = std::fabs(x);
    std::sort(v.begin(), v.end());
    return v[v.size() * 99 / 100];
}

TEST(CaptureClock, FollowsLongStreamsThroughDriftSpikesLossesRestartsAndJumps)
{
    const Stream streams[] = {
        // An hour at 30 fps, millisecond stamps, drift wandering 100 ... 200
        // ppm, 6 ms of jitter, a 30 ms spike every 200 frames, 1 % lost,
        // two restarts of the module's clock.
        {"hour", 3600, 1e6, 30, 150, 50, 600, 0, 0, 6, 200, 0.01, {1200, 2400}, {}, {}, 0.3, 1.0},
        {"slow clock in microseconds", 120, 1e3, 30, -400, 0, 1, 0, 0, 2, 100, 0.01, {40.5}, {}, {}, 0.1, 0.3},
        // A fixed delay the caller knows of is taken off; the rest of it
        // would stay in the estimate (see below).
        {"known latency", 60, 1e6, 30, 150, 0, 1, 4, 4, 6, 0, 0.0, {}, {}, {}, 0.3, 1.0},
        {"jumps ahead and back", 90, 1e6, 30, 50, 0, 1, 0, 0, 6, 0, 0.0, {}, {50, -20, 500}, {20, 45, 70}, 0.3, 1.0},
        {"no jitter", 30, 1e6, 30, 0, 0, 1, 0, 0, 0, 0, 0.0, {}, {}, {}, 0.3, 0.7},
        {"hundred-nanosecond stamps at 90 fps", 30, 100, 90, 20, 0, 1, 0, 0, 1, 0, 0.02, {10}, {}, {}, 0.1, 0.2},
    };
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.name);
        const Errors e = run(s);
        ASSERT_GT(e.settled.size(), 100u);
        EXPECT_NEAR(median(e.settled), 0.0, s.medianMs);
        EXPECT_LE(p99Abs(e.settled), s.p99Ms);
        EXPECT_DOUBLE_EQ(e.unitNs, s.unitNs);
        EXPECT_EQ(e.restarts, s.restartsAtS.size() + s.jumpsAtS.size());
    }
}

TEST(CaptureClock, ABusyHostIsNoJumpOfTheModulesClock)
{
    // Long stretches of frames all late, but unevenly so: no restart, and
    // the envelope holds through them.
    Stream s{"busy", 300, 1e6, 30, 150, 0, 1, 0, 0, 6, 200, 0.01, {100}, {}, {}, 0.5, 2.0, true};
    const Errors e = run(s);
    EXPECT_EQ(e.restarts, 1u);
    EXPECT_NEAR(median(e.settled), 0.0, s.medianMs);
    EXPECT_LE(p99Abs(e.settled), s.p99Ms);
}

TEST(CaptureClock, AFixedDelayNobodyKnowsOfStaysInTheEstimate)
{
    Stream s{"unknown latency", 30, 1e6, 30, 0, 0, 1, 8, 0, 2, 0, 0.0, {}, {}, {}, 0, 0};
    Errors e = run(s);
    // Against the true capture instant the estimate is late by the latency.
    for (double& x : e.settled)
        x += 8.0;
    EXPECT_NEAR(median(e.settled), 8.0, 0.3);
}

TEST(CaptureClock, LearnsUnitsThatAreNoPowerOfTen)
{
    // A 32768 Hz clock, and the drift measured against that unit.
    Stream s{"32 kHz", 60, 1e9 / 32768.0, 30, 80, 0, 1, 0, 0, 3, 0, 0.0, {}, {}, {}, 0.3, 1.0};
    const Errors e = run(s);
    EXPECT_NEAR(e.unitNs / (1e9 / 32768.0), 1.0, 0.05);
    EXPECT_LE(p99Abs(e.settled), 1.0);
}

TEST(CaptureClock, IsDeterministicAndCoversTheFirstFrames)
{
    Stream s{"repeat", 20, 1e6, 30, 150, 0, 1, 0, 0, 6, 50, 0.01, {10}, {}, {}, 0, 0};
    EXPECT_EQ(run(s).estimates, run(s).estimates);

    // Before the unit is known a frame is placed at its arrival, less the
    // known delay; every frame gets a time.
    CaptureClock clock;
    const FrameTiming first = clock.update(1000, 2000000000, 1500000);
    EXPECT_FALSE(first.mapped);
    EXPECT_EQ(first.captureNs, 2000000000 - 1500000);
    EXPECT_EQ(first.arrivalNs, 2000000000);
    clock.reset();
    EXPECT_EQ(clock.unitNs(), 0.0);
}

} // namespace
