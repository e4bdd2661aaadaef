#include "camera/CaptureClock.h"

#include <algorithm>
#include <cmath>

namespace Quorvex {

namespace {

// The unit is measured over at least this much arrival time: a 6 ms
// jitter is then a few per cent of it, far from halfway to the next power
// of ten.
constexpr int64_t kUnitSpanNs = 300000000;
constexpr double kDecadeTolerance = 0.25;
// What a module's rate is known to be before the stream shows it: within
// a few hundred parts per million of a power-of-ten unit (a fit beyond 1 %
// is a broken one), within a few per cent of a unit the first arrivals
// measured.
constexpr double kPriorRate = 300e-6;
constexpr double kMaxRateError = 0.01;
constexpr double kMeasuredUnitError = 0.05;
// A bin's lowest point is never taken to be known better than this (ns).
constexpr double kMinBinNoise = 20000.0;
// Mean over spread of the lowest of many delays whose density rises
// linearly from zero (a Rayleigh law: 1.2533 / 0.6551).
constexpr double kRoundedExcess = 1.9;
// Beyond this either way the module's clock is taken to have jumped: well
// above what the lower envelope moves by, well below the stalls a frame
// can meet on a loaded host.
constexpr double kJumpNs = 5e6;
constexpr int64_t kLateConfirmNs = 700000000;
constexpr uint32_t kLateConfirmFrames = 8;
// The usual delay above the envelope is averaged over this many frames;
// late frames of a jumped clock lie within this many of it of each other.
constexpr double kTypicalDelayFrames = 64.0;
constexpr double kLateSpreadFactor = 2.0;
constexpr double kLateSpreadSlackNs = 2e6;

} // namespace

CaptureClock::CaptureClock()
{
    reset();
}

void CaptureClock::reset()
{
    unitKnown = false;
    unitMeasured = false;
    firstStamp = firstArrival = 0;
    unit = 0.0;
    segmentOpen = false;
    priorSlope = slope = 0.0;
    priorVar = slopeVar = 1.0;
    learntNoise = 0.0;
    firstBin = binCount = 0;
    lateSince = 0;
    lateFrames = 0;
    lateLow = lateHigh = typicalDelay = 0.0;
    restartCount = 0;
}

double CaptureClock::driftPpm() const
{
    if (!unitKnown || unitMeasured || slope <= 0.0)
        return 0.0;
    return (unit / slope - 1.0) * 1e6;
}

bool CaptureClock::learnUnit(int64_t stamp, int64_t arrivalNs)
{
    if (firstArrival == 0 || stamp <= firstStamp || arrivalNs < firstArrival) {
        // First frame, or a clock that went back before the unit was
        // measured: measure from here.
        firstStamp = stamp;
        firstArrival = arrivalNs == 0 ? 1 : arrivalNs;
        return false;
    }
    if (arrivalNs - firstArrival < kUnitSpanNs)
        return false;
    const double measured =
        static_cast<double>(arrivalNs - firstArrival) / static_cast<double>(stamp - firstStamp);
    const double decade = std::pow(10.0, std::round(std::log10(measured)));
    // A unit that is no power of ten is only known as well as the first
    // arrivals measured it; the envelope then learns it.
    unitMeasured = std::fabs(measured / decade - 1.0) > kDecadeTolerance;
    unit = unitMeasured ? measured : decade;
    unitKnown = true;
    priorSlope = slope = unit;
    const double rate = unitMeasured ? kMeasuredUnitError : kPriorRate;
    priorVar = slopeVar = (rate * unit) * (rate * unit);
    return true;
}

void CaptureClock::startSegment(int64_t stamp, int64_t arrivalNs)
{
    originStamp = stamp;
    originArrival = arrivalNs;
    lastStamp = stamp;
    segmentOpen = true;
    firstBin = binCount = 0;
    lateFrames = 0;
}

void CaptureClock::addPoint(const Point& p, int64_t arrivalNs)
{
    if (binCount > 0) {
        const size_t newest = (firstBin + binCount - 1) % kBins;
        if (arrivalNs - binStart[newest] < kBinNs) {
            // Each bin keeps the point lowest under the current slope.
            Point& kept = bins[newest];
            if (p.y - slope * p.x < kept.y - slope * kept.x)
                kept = p;
            return;
        }
    }
    if (binCount == kBins) {
        firstBin = (firstBin + 1) % kBins;
        --binCount;
    }
    const size_t slot = (firstBin + binCount) % kBins;
    bins[slot] = p;
    binStart[slot] = arrivalNs;
    ++binCount;
}

bool CaptureClock::fit(double xNow, double& alpha, double& slopeOut, double& slopeVar, double& noiseOut) const
{
    if (binCount == 0)
        return false;
    // Slope: a straight line through the bins' lowest points (their
    // excess over the envelope varies alike everywhere, so it leaves the
    // slope alone), weighed against the prior by how well each is known.
    double s = priorSlope, var = priorVar;
    double noise = kMinBinNoise * kMinBinNoise;
    // The newest bin is still filling: its lowest point is not yet one.
    const size_t closed = binCount - 1;
    if (closed >= 3) {
        double mx = 0.0, my = 0.0;
        for (size_t i = 0; i < closed; ++i) {
            const Point& p = bins[(firstBin + i) % kBins];
            mx += p.x;
            my += p.y;
        }
        mx /= static_cast<double>(closed);
        my /= static_cast<double>(closed);
        double sxx = 0.0, sxy = 0.0;
        for (size_t i = 0; i < closed; ++i) {
            const Point& p = bins[(firstBin + i) % kBins];
            sxx += (p.x - mx) * (p.x - mx);
            sxy += (p.x - mx) * (p.y - my);
        }
        if (sxx > 0.0) {
            const double ls = sxy / sxx;
            double rss = 0.0;
            for (size_t i = 0; i < closed; ++i) {
                const Point& p = bins[(firstBin + i) % kBins];
                const double r = p.y - my - ls * (p.x - mx);
                rss += r * r;
            }
            // Never trust the points more than a stamp unit's spread.
            noise = std::max(rss / static_cast<double>(closed - 2), noise);
            const double lsVar = noise / sxx;
            // A slope far from the unit is a broken fit (a clock that jumped
            // within the window), not a drift.
            if (std::fabs(ls / unit - 1.0) < (unitMeasured ? 3.0 * kMeasuredUnitError : kMaxRateError)) {
                s = (priorSlope / priorVar + ls / lsVar) / (1.0 / priorVar + 1.0 / lsVar);
                var = 1.0 / (1.0 / priorVar + 1.0 / lsVar);
            }
        }
    }
    // Offset: the lowest point among the recent ones. More points bring
    // the lowest closer to the envelope (by the bins' own spread, shrinking
    // as the square root of their number); older ones move the line at the
    // newest frame by the slope's uncertainty times their age. The reach
    // balances the two.
    const double binNoise = std::sqrt(noise);
    const double reachNs = std::pow(binNoise * std::sqrt(static_cast<double>(kBinNs)) / (2.0 * std::sqrt(var) / s), 2.0 / 3.0);
    const double reach = std::max(reachNs, 2.0 * kBinNs) / s;
    const Point& newest = bins[(firstBin + binCount - 1) % kBins];
    double a = newest.y - s * newest.x;
    for (size_t i = 0; i + 1 < binCount; ++i) {
        const Point& p = bins[(firstBin + i) % kBins];
        if (xNow - p.x <= reach || i + 2 == binCount)
            a = std::min(a, p.y - s * p.x);
    }
    // The lowest of n points still lies above the envelope, by an amount
    // the bins show: a bin's lowest point lies (on average) 1.9 times its
    // spread above it when the stamps' rounding shapes the bottom of the
    // delays (their density rises linearly from the envelope), and the
    // lowest of n times as many points by the square root of n less.
    // A clock that restarted keeps its delays: until the new envelope has
    // bins enough to show their spread, the one learnt before stands.
    const double spread = closed >= 3 ? binNoise : std::sqrt(learntNoise);
    if (spread > 0.0 && unit * 2.0 >= spread) {
        const double bins = std::max<double>(static_cast<double>(binCount), 1.0);
        const double spanned = std::min(bins, std::max(1.0, reachNs / kBinNs));
        a -= kRoundedExcess * spread / std::sqrt(spanned);
    }
    alpha = a;
    slopeOut = s;
    slopeVar = var;
    noiseOut = closed >= 3 ? noise : 0.0;
    return true;
}

FrameTiming CaptureClock::update(int64_t stamp, int64_t arrivalNs, int64_t knownDelayNs)
{
    FrameTiming out;
    out.arrivalNs = arrivalNs;
    out.captureNs = arrivalNs - knownDelayNs;
    if (!unitKnown && !learnUnit(stamp, arrivalNs))
        return out;
    if (!segmentOpen)
        startSegment(stamp, arrivalNs - knownDelayNs);

    double alpha = 0.0, s = slope, var = slopeVar, noise = 0.0;
    Point p{static_cast<double>(stamp - originStamp), static_cast<double>(arrivalNs - knownDelayNs - originArrival)};
    bool restart = stamp < lastStamp;
    if (!restart && fit(p.x, alpha, s, var, noise)) {
        const double residual = p.y - (alpha + s * p.x);
        // Beyond what the envelope's slope, as well as it is known, could
        // be off by this far from its oldest point.
        const double jump = kJumpNs + 3.0 * std::sqrt(var) * std::fabs(p.x - bins[firstBin].x);
        if (residual < -jump - s) {
            restart = true;
        } else if (residual > jump) {
            // Late frames: delay, unless they stay late by as much as each
            // other as frames usually differ (the clock went back by less
            // than a frame period). A busy host delays frames by widely
            // different amounts instead.
            if (lateFrames++ == 0) {
                lateSince = arrivalNs;
                lateLow = lateHigh = residual;
            }
            lateLow = std::min(lateLow, residual);
            lateHigh = std::max(lateHigh, residual);
            restart = lateFrames >= kLateConfirmFrames && arrivalNs - lateSince >= kLateConfirmNs &&
                      lateHigh - lateLow <= kLateSpreadFactor * typicalDelay + kLateSpreadSlackNs;
        } else {
            lateFrames = 0;
            typicalDelay += (std::max(residual, 0.0) - typicalDelay) / kTypicalDelayFrames;
        }
    }
    if (restart) {
        // The rate survives a restart of the module's clock.
        priorSlope = slope;
        priorVar = slopeVar;
        ++restartCount;
        startSegment(stamp, arrivalNs - knownDelayNs);
        p = Point{0.0, 0.0};
    }
    lastStamp = stamp;
    addPoint(p, arrivalNs);
    if (!fit(p.x, alpha, s, var, noise))
        return out;
    slope = s;
    slopeVar = var;
    if (noise > 0.0)
        learntNoise = noise;

    // The stamped instant lies within its unit and before the arrival.
    const double lower = alpha + s * p.x;
    const double upper = std::min(lower + s, p.y);
    const double within = 0.5 * (lower + std::max(upper, lower));
    out.captureNs = originArrival + static_cast<int64_t>(std::llround(within));
    out.mapped = true;
    return out;
}

} // namespace Quorvex
