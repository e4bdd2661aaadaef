#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvex {

// When one delivered frame was captured, on the host's monotonic clock
// (CLOCK_MONOTONIC, the clock of std::chrono::steady_clock).
struct FrameTiming {
    // Estimated instant the image whose stamp the frame carries was
    // captured, in nanoseconds.
    int64_t captureNs = 0;
    // When the sensor's getFrame returned the frame, in nanoseconds.
    int64_t arrivalNs = 0;
    // True once the module's clock has been learnt from the stream; until
    // then captureNs is the arrival minus what is known of the delay.
    bool mapped = false;
};

// Maps a module's frame stamps onto the host's monotonic clock from the
// pairs (stamp, arrival) of the frames it delivers: pure and deterministic,
// one instance per stream, fixed memory, no allocation.
//
// - Unit: learnt from the stream (ratio of arrival span to stamp span over
//   the first 300 ms, taken as the nearest power of ten of nanoseconds when
//   it is that within 25 %, else as measured and refined by the slope).
// - Envelope: a frame never arrives before it was captured, so the host
//   time of a stamp lies on the lower envelope of the arrivals. The stream
//   is cut into half-second bins, each keeping its earliest frame (under the
//   current slope); 64 bins, 32 s, are kept.
// - Drift: a straight line through the bins' earliest frames gives the
//   slope, weighed against the prior (the unit, or the rate learnt before a
//   restart) by how well each is known, so a young stream leans on the
//   unit and a long one follows a wandering rate.
// - Offset: the earliest frame among the recent bins, as many of them as
//   balance the slope's uncertainty against how far the earliest of fewer
//   frames still lies above the envelope; that excess, which the bins'
//   spread shows, is taken off.
// - Restarts and jumps: a stamp that goes back, a frame the envelope would
//   place more than 5 ms (plus what the slope's uncertainty allows) after
//   its own arrival (the clock jumped ahead), or frames that all arrive that
//   late for 0.7 s, each about as late as the others (it jumped back by
//   less than a frame period; a busy host delays frames unevenly instead),
//   start the envelope afresh,
//   keeping the learnt rate and spread.
// - A stamp of whole units stands for the middle of its unit (or of the
//   part of it before the arrival).
//
// What this cannot know: a delay every frame shares (exposure to readout,
// the module's own processing, the transfer) shifts the envelope exactly as
// an offset of the module's clock would; the stamps cannot tell the two
// apart. So the estimate is the capture instant plus the smallest delay the
// stream showed, minus `knownDelayNs` (what the caller knows of it). No
// guess is made for the rest.
class CaptureClock {
public:
    CaptureClock();

    // Forgets everything learnt: the next frame starts a new stream.
    void reset();

    // Takes one delivered frame: its stamp in the module's units and its
    // arrival in monotonic nanoseconds. Returns the estimated capture instant
    // of the stamped image. `knownDelayNs` is subtracted from the arrival.
    FrameTiming update(int64_t stamp, int64_t arrivalNs, int64_t knownDelayNs = 0);

    // Nanoseconds per stamp unit as learnt (0 until learnt): a power of
    // ten, or the envelope's rate when the unit is none.
    double unitNs() const { return unitMeasured ? slope : unit; }
    // The module's clock rate against the host's, parts per million of a
    // power-of-ten unit (positive: the module runs fast; 0 for other units).
    double driftPpm() const;
    // Times the envelope started afresh after a restart or a jump.
    uint32_t restarts() const { return restartCount; }

    // Envelope window: bins of this length, this many of them.
    static constexpr int64_t kBinNs = 500000000;
    static constexpr size_t kBins = 64;

private:
    struct Point {
        double x; // stamp - segment origin, units
        double y; // arrival - known delay - segment origin, ns
    };

    void startSegment(int64_t stamp, int64_t arrivalNs);
    void addPoint(const Point& p, int64_t arrivalNs);
    // Fits the envelope line y = alpha + slope * x over the bins; false
    // when there is no point yet.
    bool fit(double xNow, double& alpha, double& slope, double& slopeVar, double& noise) const;
    bool learnUnit(int64_t stamp, int64_t arrivalNs);

    // Learning the unit.
    bool unitKnown = false;
    bool unitMeasured = false;
    int64_t firstStamp = 0;
    int64_t firstArrival = 0;
    double unit = 0.0;

    // The current segment of one unbroken module clock.
    int64_t originStamp = 0;
    int64_t originArrival = 0;
    int64_t lastStamp = 0;
    bool segmentOpen = false;
    // Slope used until the segment spans enough to measure its own: the
    // unit, or the rate learnt before a restart.
    double priorSlope = 0.0;
    double priorVar = 1.0;
    double slope = 0.0;
    double slopeVar = 1.0;
    // Spread (variance, ns^2) of the bins' lowest points, as last measured.
    double learntNoise = 0.0;

    // Ring of bins, oldest first from `firstBin`; the newest is open.
    Point bins[kBins];
    int64_t binStart[kBins];
    size_t firstBin = 0;
    size_t binCount = 0;

    // Frames arriving late beyond the jump threshold without a break.
    int64_t lateSince = 0;
    uint32_t lateFrames = 0;
    double lateLow = 0.0, lateHigh = 0.0;
    // Mean delay above the envelope of frames that were not late (ns).
    double typicalDelay = 0.0;

    uint32_t restartCount = 0;
};

} // namespace Quorvex
