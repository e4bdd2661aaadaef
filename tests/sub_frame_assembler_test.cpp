#include <gtest/gtest.h>

#include <vector>

#include "sensor/SubFrameAssembler.h"

using namespace Quorvex;

namespace {

using StepBack = SubFrameAssembler::StepBack;

// Feeds stamps until the frame is complete; -1 marks a damaged sub-frame.
// Returns the slot each stamp was placed in (-1 for the damaged ones) and
// how many stamps the frame took.
struct Fed {
    std::vector<int32_t> slots;
    size_t used = 0;
};

Fed feed(SubFrameAssembler& frame, const std::vector<int64_t>& stamps)
{
    Fed out;
    for (int64_t stamp : stamps) {
        if (frame.complete())
            break;
        ++out.used;
        if (stamp < 0) {
            frame.restart();
            out.slots.push_back(-1);
            continue;
        }
        out.slots.push_back(frame.place(stamp));
        frame.stored();
    }
    return out;
}

} // namespace

TEST(SubFrameAssembler, PlacesSubFramesAndRestartsWhereAFrameBroke)
{
    struct Case {
        const char* title;
        StepBack stepBack;
        std::vector<int64_t> stamps;
        std::vector<int32_t> slots;
        int64_t last;
    } cases[] = {
        {"four in a row", StepBack::Continues, {10, 11, 12, 13}, {0, 1, 2, 3}, 13},
        {"the gap itself still joins", StepBack::Continues, {0, 5, 10, 15}, {0, 1, 2, 3}, 15},
        {"one past the gap starts over", StepBack::Continues, {0, 6, 7, 8, 9}, {0, 0, 1, 2, 3}, 9},
        {"damaged sub-frame starts over", StepBack::Continues, {0, 1, -1, 3, 4, 5, 6}, {0, 1, -1, 0, 1, 2, 3}, 6},
        {"a step back continues", StepBack::Continues, {9, 1, 2, 3}, {0, 1, 2, 3}, 3},
        {"a step back restarts", StepBack::Restarts, {9, 1, 2, 3, 4}, {0, 0, 1, 2, 3}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        RangeSwitch rangeSwitch;
        rangeSwitch.reset(kFarRangeMm);
        SubFrameAssembler frame(4, 5, c.stepBack, rangeSwitch);
        const Fed fed = feed(frame, c.stamps);
        EXPECT_EQ(fed.slots, c.slots);
        EXPECT_EQ(fed.used, c.stamps.size());
        EXPECT_TRUE(frame.complete());
        EXPECT_EQ(frame.lastStamp(), c.last);
    }
}

TEST(SubFrameAssembler, FrameBeforeARangeSwitchIsReadAgain)
{
    // Marked at 100: the frame beginning at 100 and the first one after it
    // are dropped, the third is the one delivered.
    RangeSwitch rangeSwitch;
    rangeSwitch.reset(kFarRangeMm);
    rangeSwitch.requested(kNearRangeMm, 100);
    SubFrameAssembler frame(2, 5, StepBack::Continues, rangeSwitch);
    const Fed fed = feed(frame, {100, 101, 200, 201, 300, 301, 400, 401});
    EXPECT_EQ(fed.used, 6u);
    EXPECT_EQ(frame.lastStamp(), 301);
    EXPECT_EQ(rangeSwitch.frameRange(), kNearRangeMm);
}
