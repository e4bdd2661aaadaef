// The read-only host survey behind the set-up check, on every simulated
// board: what it finds, the module's bus from the names the board's
// kernel gives, the controller's answer, and the nodes it cannot open.
#include "sensor/HostSurvey.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <linux/i2c-dev.h>

#include "sim/SimCsiBoard.h"

using namespace Quorvex;
using namespace Quorvex::Sim;

namespace {

struct World {
    explicit World(BoardKind b) : board(k, b) {}
    SimKernel k;
    ScopedKernel scope{k};
    SimCsiBoard board;
};

const SurveyNode* find(const HostSurvey& s, const std::string& path)
{
    for (const SurveyNode& n : s.nodes)
        if (n.path == path)
            return &n;
    return nullptr;
}

} // namespace

TEST(HostSurvey, EveryBoardShowsItsNodesBusAndController)
{
    struct {
        BoardKind board;
        size_t subdevs; // media-controller boards: module (and bridge)
        bool media;
    } cases[] = {
        {BOARD_RASPBERRY_PI, 1, true},     {BOARD_RASPBERRY_PI_5, 2, true}, {BOARD_RADXA_ROCK, 2, true},
        {BOARD_JETSON_TX1_NANO, 0, false}, {BOARD_JETSON, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(SimCsiBoard::modelText(c.board));
        World w(c.board);
        const HostSurvey s = surveyHost();
        EXPECT_EQ(s.model, SimCsiBoard::modelText(c.board));
        EXPECT_EQ(s.board, c.board);
        const SurveyNode* video = find(s, "/dev/video0");
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->kind, "capture");
        EXPECT_EQ(video->driver, "sim-csi2");
        EXPECT_EQ(video->openError, 0);
        size_t subdevs = 0;
        for (const SurveyNode& n : s.nodes)
            subdevs += n.kind == "subdev";
        EXPECT_EQ(subdevs, c.subdevs);
        EXPECT_EQ(find(s, "/dev/media0") != nullptr, c.media);
        EXPECT_EQ(s.moduleBus, SimCsiBoard::moduleBus(c.board)) << s.moduleBusSource;
        EXPECT_EQ(s.chipAnswers, 1);
        const SurveyNode* bus = find(s, "/dev/i2c-" + std::to_string(s.moduleBus));
        ASSERT_NE(bus, nullptr);
        EXPECT_EQ(bus->card, "csi-module-i2c");
        // Read-only: nothing was written to the controller.
        EXPECT_TRUE(w.board.adapter->sent(SimCsiBoard::chipAddress).empty());
        EXPECT_EQ(w.k.openDescriptors(), 0u);
    }
}

TEST(HostSurvey, RefusedNodesAndASilentControllerAreReported)
{
    World w(BOARD_RASPBERRY_PI);
    w.k.failOpen("/dev/video0", EACCES);
    w.k.failIoctl("/dev/i2c-10", I2C_RDWR, ENXIO);
    const HostSurvey s = surveyHost();
    const SurveyNode* video = find(s, "/dev/video0");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->openError, EACCES);
    EXPECT_EQ(s.moduleBus, 10);
    EXPECT_EQ(s.chipAnswers, 0);
    EXPECT_EQ(s.chipError, ENXIO);
}

TEST(HostSurvey, AHostWithoutCameraNodesHasNoBus)
{
    SimKernel k;
    ScopedKernel scope{k};
    k.addDirectory("/dev");
    const HostSurvey s = surveyHost();
    EXPECT_TRUE(s.nodes.empty());
    EXPECT_EQ(s.board, BOARD_UNKNOWN);
    EXPECT_EQ(s.moduleBus, -1);
    EXPECT_EQ(s.chipAnswers, -1);
}
