#pragma once

#include <cstdint>

namespace Quorvex {

// The two unambiguous ranges an HQVGA module can be tuned for, in mm. Every
// layer speaks of a range in these terms; only the RANGE control of a CSI
// module counts in metres (2 or 4), converted at that boundary alone.
constexpr int32_t kNearRangeMm = 2000;
constexpr int32_t kFarRangeMm = 4000;

// A module starts at its far range.
constexpr int32_t kStartRangeMm = kFarRangeMm;

constexpr bool isModuleRange(int32_t rangeMm)
{
    return rangeMm == kNearRangeMm || rangeMm == kFarRangeMm;
}

// The range a RANGE control value (2 or 4) stands for; 0 for any other.
constexpr int32_t rangeFromControl(int value)
{
    return value == kNearRangeMm / 1000 ? kNearRangeMm : value == kFarRangeMm / 1000 ? kFarRangeMm : 0;
}

constexpr int controlFromRange(int32_t rangeMm)
{
    return static_cast<int>(rangeMm / 1000);
}

} // namespace Quorvex
