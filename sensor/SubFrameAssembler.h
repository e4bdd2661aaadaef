#pragma once

#include <cstdint>

#include "sensor/RangeSwitch.h"

namespace Quorvex {

// Largest step between two sub-frames of one frame: a module sends the
// sub-frames of a frame about 1 ms apart, and a longer pause means the frame
// was broken off and a new one began.
constexpr int64_t kMaxSubFrameGapUs = 5000;

// Counts the sub-frames of one frame as a sensor reads them, one getFrame()
// at a time. A frame restarts when the step from the previous sub-frame is
// longer than the gap limit (or, on clocks where that means a broken-off
// frame, goes back in time), when the sensor drops a damaged sub-frame, and
// when the whole frame turns out to have been captured before a range
// switch took effect (RangeSwitch::accept).
class SubFrameAssembler {
public:
    enum class StepBack { Continues, Restarts };

    // `maxGap` is in the unit of the stamps given to place(); `stepBack`
    // says what a stamp earlier than the previous one means.
    SubFrameAssembler(int32_t subFrames, int64_t maxGap, StepBack stepBack, RangeSwitch& rangeSwitch)
        : subFrames(subFrames), maxGap(maxGap), backRestarts(stepBack == StepBack::Restarts),
          rangeSwitch(rangeSwitch)
    {
    }

    // The slot (0 .. subFrames - 1) the sub-frame stamped `stamp` fills;
    // a sub-frame too far from the previous one starts a new frame.
    int32_t place(int64_t stamp)
    {
        if (n > 0 && (stamp - previous > maxGap || (backRestarts && stamp < previous)))
            n = 0;
        if (n == 0)
            first = stamp;
        previous = stamp;
        return n;
    }
    // The sub-frame given to place() is stored. Once the last one is, the
    // frame is complete, or it starts over if it predates a range switch.
    void stored()
    {
        if (++n == subFrames && !rangeSwitch.accept(first))
            n = 0;
    }
    // A sub-frame was lost: the frame begins again with the next one.
    void restart() { n = 0; }

    bool complete() const { return n >= subFrames; }
    // Sub-frames held of the current frame.
    int32_t held() const { return n; }
    // Stamp of the sub-frame stored last.
    int64_t lastStamp() const { return previous; }

private:
    const int32_t subFrames;
    const int64_t maxGap;
    const bool backRestarts;
    RangeSwitch& rangeSwitch;
    int32_t n = 0;
    int64_t first = 0;
    int64_t previous = 0;
};

} // namespace Quorvex
