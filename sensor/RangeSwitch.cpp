#include "sensor/RangeSwitch.h"

namespace Quorvex {

void RangeSwitch::reset(int32_t range)
{
    std::lock_guard<std::mutex> lock(mutex);
    inEffect = wanted = range;
    pending = false;
    lastFrameRange.store(range, std::memory_order_relaxed);
}

void RangeSwitch::requested(int32_t range, int64_t at)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Asking again for the range in force changes nothing in the frames.
    if (!pending && range == inEffect)
        return;
    wanted = range;
    pending = true;
    settled = false;
    mark = at;
    drops = 0;
}

void RangeSwitch::streamStarts()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (pending)
        inEffect = wanted;
    pending = false;
    lastFrameRange.store(inEffect, std::memory_order_relaxed);
}

bool RangeSwitch::accept(int64_t firstStamp)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (pending) {
        if (firstStamp <= mark && drops < kMaxDrops) {
            ++drops;
            return false;
        }
        if (!settled) {
            settled = true;
            return false;
        }
        inEffect = wanted;
        pending = false;
    }
    lastFrameRange.store(inEffect, std::memory_order_relaxed);
    return true;
}

int32_t RangeSwitch::moduleRange() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending ? wanted : inEffect;
}

} // namespace Quorvex
