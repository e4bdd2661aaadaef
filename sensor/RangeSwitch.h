#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "sensor/ModuleRange.h"

namespace Quorvex {

// Follows a change of the module's range from the moment the module
// accepted it to the first frame captured at the new range. A module takes
// a new modulation at a frame boundary, and frames it captured before then
// may still be on their way (queued in the receiver, or the frame whose
// first sub-frames were already read): decoded at the new range they would
// be wrong everywhere, so they are dropped.
//
// Frames are told apart by the stamp of their first sub-frame, on the
// frames' own clock: one at or before the mark given with the switch began
// before the module could have taken it. The first frame after the mark is
// dropped too: it may have begun before the module latched the change (a
// receiver may stamp a sub-frame at its end, a module may latch one frame
// late). The frame after that began after a whole frame ran at the new
// setting. A clock that went back would keep every frame before the mark,
// so no more than kMaxDrops frames are dropped for one change.
class RangeSwitch {
public:
    static constexpr int kMaxDrops = 16;

    // At open: the module runs at `range` (mm) and nothing is pending.
    void reset(int32_t range);
    // Caller's thread, once the module accepted `range`. `mark` lies on the
    // frames' clock no earlier than the moment the module had the change.
    void requested(int32_t range, int64_t mark);
    // At stream start: nothing captured earlier can still arrive, so a
    // change accepted meanwhile is in effect from the first frame.
    void streamStarts();
    // Capture thread, for each complete frame; `firstStamp` is its first
    // sub-frame's stamp. False: captured before the change took effect.
    bool accept(int64_t firstStamp);

    // The range of the last frame accepted (of the module, before any).
    int32_t frameRange() const { return lastFrameRange.load(std::memory_order_relaxed); }
    // The range the module was last told, or found at.
    int32_t moduleRange() const;

private:
    mutable std::mutex mutex;
    int32_t inEffect = kStartRangeMm;
    int32_t wanted = kStartRangeMm;
    bool pending = false;
    bool settled = false;
    int64_t mark = 0;
    int drops = 0;
    std::atomic<int32_t> lastFrameRange{kStartRangeMm};
};

} // namespace Quorvex
