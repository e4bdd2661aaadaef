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
// one instance per stream, fixed memory.
//
// - Unit: learnt from the stream (ratio of arrival span to stamp span over
//   the first few hundred milliseconds, taken as the nearest power of ten of
//   nanoseconds when it is that within 25 %, else as measured).
// - Offset: a frame never arrives before it was captured, so the host time
//   of a stamp is the lower envelope of the arrivals: the line below every
//   (stamp, arrival) point of the last 32 s, through the earliest ones.
// - Drift: the slope of that envelope, tracked over the same window, so a
//   clock whose rate wanders is followed.
// - Restarts and jumps: a stamp that goes back, a frame the envelope would
//   place after its own arrival by more than 5 ms (the clock jumped ahead),
//   or frames that all arrive more than 5 ms late for half a second (it
//   jumped back) start the envelope afresh, keeping the learnt rate.
// - A stamp of whole units stands for the middle of its unit (less, when
//   the arrival bounds it).
//
// What this cannot know: a delay every frame shares (exposure to readout,
// the module's own processing) shifts the envelope exactly as an offset of
// the module's clock would; the stamps cannot tell the two apart. So the
// estimate is the capture instant plus the smallest delay the stream ever
// showed, minus `knownDelayNs` (what the caller knows of it, such as the
// time a frame's bytes take on the link). No guess is made for the rest.
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

    uint32_t restartCount = 0;
};

} // namespace Quorvex
