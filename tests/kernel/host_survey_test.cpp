// The set-up check's survey on a real kernel: vivid's capture and media
// nodes are found with their drivers' own names, opened read-write (the
// guest runs as root), and no module bus is claimed where no I2C client at
// 0x0C is named.
#include <gtest/gtest.h>

#include "sensor/HostSurvey.h"

namespace Quorvex {
namespace {

TEST(HostSurveyOnVivid, CaptureAndMediaNodesCarryTheirDrivers)
{
    const HostSurvey s = surveyHost();
    size_t captures = 0, media = 0;
    for (const SurveyNode& n : s.nodes) {
        SCOPED_TRACE(n.path);
        EXPECT_EQ(n.openError, 0);
        if (n.kind == "capture" && n.driver == "vivid")
            ++captures;
        if (n.kind == "media" && n.driver == "vivid")
            ++media;
    }
    // Two instances, each with video capture (and output, vbi, ...) nodes.
    EXPECT_GE(captures, 2u);
    EXPECT_GE(media, 2u);
    EXPECT_EQ(s.moduleBus, -1) << s.moduleBusSource;
    EXPECT_EQ(s.chipAnswers, -1);
}

} // namespace
} // namespace Quorvex
