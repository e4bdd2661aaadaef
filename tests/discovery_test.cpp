#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include <linux/media.h>
#include <linux/v4l2-subdev.h>

#include "sensor/CsiBoardRules.h"
#include "sensor/I2cBus.h"
#include "sensor/MediaDiscovery.h"
#include "sensor/V4l2Helpers.h"
#include "sim/SimHost.h"

using namespace Quorvex;
using namespace Quorvex::Sim;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr uint32_t Y12 = 0x2013; // MEDIA_BUS_FMT_Y12_1X12

// A capture node inside a media graph, laid out as the receiver's driver
// publishes it. Entities are added in enumeration order.
class MediaWorld {
public:
    MediaWorld()
    {
        // The parent device lists more than the media node, in no sorted order.
        k.addFile(parent + "/uevent", "DRIVER=receiver\n");
        host.addCaptureNode(0, parent, "capture");
        host.addMediaNode(0, parent, media);
        k.addDirectory(parent + "/driver");
    }
    ~MediaWorld()
    {
        for (int fd : opened)
            k.close(fd);
    }

    // An entity backed by a V4L2 sub-device node.
    uint32_t subdevEntity(const std::string& name, uint16_t pads = 1)
    {
        const int index = nextSubdev++;
        auto node = std::make_shared<SimSubdevice>(pads, 240, 180, std::vector<uint32_t>{Y12}, false);
        const unsigned minor = host.addSubdevNode(index, parent, node);
        return media->addEntity(name, SimHost::v4lMajor, minor, pads);
    }
    // The capture node's own entity.
    uint32_t videoEntity(const std::string& name)
    {
        return media->addEntity(name, SimHost::v4lMajor, host.minorOf("/dev/video0"), 1);
    }

    int openVideo()
    {
        const int fd = k.open("/dev/video0", O_RDWR);
        opened.push_back(fd);
        return fd;
    }
    std::vector<std::string> subdevPaths(const CsiPipeline& state) const
    {
        std::vector<std::string> paths;
        for (int i = 0; i < state.subdevCount; ++i)
            paths.push_back(k.pathOf(state.subdevFds[i]));
        return paths;
    }
    void closeSubdevs(CsiPipeline& state)
    {
        for (int i = 0; i < state.subdevCount; ++i)
            k.close(state.subdevFds[i]);
    }

    SimKernel k;
    ScopedKernel scope{k};
    SimHost host{k};
    const std::string parent = "/sys/devices/platform/axi/csi-receiver";
    std::shared_ptr<SimMediaDevice> media = std::make_shared<SimMediaDevice>();
    std::vector<int> opened;
    int nextSubdev = 0;
};

struct DiscoveryCase {
    const char* title;
    BoardKind board;
    std::vector<std::pair<std::string, bool>> entities;
    std::vector<std::string> subdevs; // expected, in subdevFds order
    uint8_t sensorSubdevIndex;
    const char* bus;
    // Said when the module's own sub-device cannot be held (discovery then
    // reports failure).
    const char* message = "";
};

} // namespace

TEST(MediaDiscovery, FindsBridgeAndModuleSubdevicesPerBoard)
{
    const DiscoveryCase cases[] = {
        {"Pi 5: bridge then module", BOARD_RASPBERRY_PI_5,
         {{"csi2", true}, {"rp1-cfe-csi2_ch0", false}, {"quorvex-brevalith 10-000c", true}},
         {"/dev/v4l-subdev0", "/dev/v4l-subdev1"}, 1, "10"},
        {"Pi: csi2 is an ordinary entity", BOARD_RASPBERRY_PI,
         {{"csi2", true}, {"unicam-image", false}, {"quorvex-brevalith 10-000c", true}},
         {"/dev/v4l-subdev1"}, 0, "10"},
        {"Radxa: module named after its connector", BOARD_RADXA_ROCK,
         {{"rockchip-csi2-dphy1", true}, {"rkisp-isp-subdev", true}, {"m00_b_brevalith 4-000c", true}},
         {"/dev/v4l-subdev0", "/dev/v4l-subdev2"}, 1, "4"},
        {"module first ends the walk before the bridge", BOARD_RADXA_ROCK,
         {{"m00_b_brevalith 4-000c", true}, {"rockchip-csi2-dphy1", true}},
         {"/dev/v4l-subdev0"}, 0, "4"},
        {"module name without a space", BOARD_RASPBERRY_PI,
         {{"quorvex-brevalith", true}}, {}, 0, ""},
        {"bus text longer than seven characters is cut", BOARD_RASPBERRY_PI,
         {{"quorvex-brevalith 123456789-000c", true}}, {"/dev/v4l-subdev0"}, 0, "1234567"},
        {"no module at all", BOARD_RASPBERRY_PI, {{"csi2", true}, {"imx-other 1-0010", true}}, {}, 0, ""},
        {"a fifth sub-device is refused", BOARD_RADXA_ROCK,
         {{"rockchip-csi2-dphy1", true}, {"rockchip-csi2-dphy1", true}, {"rockchip-csi2-dphy1", true},
          {"rockchip-csi2-dphy1", true}, {"m00_b_brevalith 4-000c", true}},
         {"/dev/v4l-subdev0", "/dev/v4l-subdev1", "/dev/v4l-subdev2", "/dev/v4l-subdev3"}, 0, "4",
         "Error: no room for the module's sub-device /dev/v4l-subdev4\n"},
    };
    for (const DiscoveryCase& c : cases) {
        SCOPED_TRACE(c.title);
        MediaWorld w;
        uint32_t csi2 = 0, channel = 0;
        for (const auto& [name, subdev] : c.entities) {
            const uint32_t id = subdev ? w.subdevEntity(name, name == "csi2" ? 6 : 1) : w.videoEntity(name);
            if (name == "csi2")
                csi2 = id;
            if (name == "rp1-cfe-csi2_ch0")
                channel = id;
        }
        if (csi2 && channel)
            w.media->addLink(csi2, 4, channel, 0, 0);

        CsiPipeline state;
        CaptureStderr();
        const bool reached = discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(c.board));
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_EQ(reached, *c.message == '\0');

        EXPECT_STREQ(state.mediaPath, "/dev/media0");
        EXPECT_EQ(w.subdevPaths(state), c.subdevs);
        EXPECT_EQ(state.subdevCount, c.subdevs.size());
        EXPECT_EQ(state.sensorSubdevIndex, c.sensorSubdevIndex);
        EXPECT_STREQ(state.i2cBus, c.bus);
        for (size_t i = c.subdevs.size(); i < 4; ++i)
            EXPECT_EQ(state.subdevFds[i], -1);
        if (c.board == BOARD_RASPBERRY_PI_5) {
            EXPECT_EQ(w.media->linkFlags(csi2, 4, channel, 0), MEDIA_LNK_FL_ENABLED);
        } else if (csi2 && channel) {
            EXPECT_EQ(w.media->linkFlags(csi2, 4, channel, 0), 0);
        }
        // Only the sub-devices it keeps stay open: no media device, no
        // refused fifth sub-device.
        w.closeSubdevs(state);
        EXPECT_EQ(w.k.openDescriptors(), 1u);
    }
}

TEST(MediaDiscovery, ModuleWithoutSpaceLeavesNoBusForTheLookup)
{
    MediaWorld w;
    w.subdevEntity("quorvex-brevalith");
    w.k.addDirectory("/sys/class/i2c-dev");
    w.host.mountSysfs();
    CsiPipeline state;
    discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI));
    CaptureStderr();
    EXPECT_EQ(setupI2cBus(state), QuorvexSystemError);
    EXPECT_EQ(GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(state.i2cFd, -1);
}

TEST(MediaDiscovery, Pi5LinkFailuresEndTheDiscovery)
{
    struct Case {
        const char* title;
        bool channelEntity;
        bool failSetupLink;
        const char* message;
    } cases[] = {
        {"link request refused", true, true, ""},
        {"receiver channel missing", false, false, "Query entity failed: Invalid argument\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        MediaWorld w;
        const uint32_t csi2 = w.subdevEntity("csi2", 6);
        if (c.channelEntity)
            w.media->addLink(csi2, 4, w.videoEntity("rp1-cfe-csi2_ch0"), 0, 0);
        w.subdevEntity("quorvex-brevalith 10-000c");
        if (c.failSetupLink)
            w.k.failIoctl("/dev/media0", MEDIA_IOC_SETUP_LINK, EIO);
        CsiPipeline state;
        CaptureStderr();
        discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI_5));
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_EQ(state.subdevCount, 0);
        EXPECT_STREQ(state.i2cBus, "");
        EXPECT_STREQ(state.mediaPath, "/dev/media0");
        EXPECT_EQ(w.k.openDescriptors("/dev/media0"), 0u);
    }
}

TEST(MediaDiscovery, WalksTheUnsortedListingBackwardsPastNodesThatDoNotOpen)
{
    struct Case {
        const char* title;
        bool media0Opens;
        const char* expected;
    } cases[] = {
        {"media1 listed first: media0 is tried first", true, "/dev/media0"},
        {"media0 does not open: media1", false, "/dev/media1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        MediaWorld w;
        auto second = std::make_shared<SimMediaDevice>();
        w.host.addMediaNode(1, w.parent, second);
        w.k.setListingOrder(w.parent, {"uevent", "media1", "video4linux", "media0", "driver"});
        // Each media device leads to a different bus.
        w.subdevEntity("quorvex-brevalith 10-000c");
        const unsigned minor = w.host.addSubdevNode(7, w.parent, std::make_shared<SimSubdevice>(
                                                                     1, 240, 180, std::vector<uint32_t>{Y12}, true));
        second->addEntity("quorvex-brevalith 11-000c", SimHost::v4lMajor, minor, 1);
        if (!c.media0Opens)
            w.k.failOpen("/dev/media0", EBUSY);

        CsiPipeline state;
        discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI));
        EXPECT_STREQ(state.mediaPath, c.expected);
        EXPECT_STREQ(state.i2cBus, c.media0Opens ? "10" : "11");
        w.closeSubdevs(state);
    }
}

TEST(MediaDiscovery, EndsWhenThePipelineCannotBeReached)
{
    struct Case {
        const char* title;
        void (*spoil)(MediaWorld&);
        const char* mediaPath;
        // Only a module sub-device that cannot be held is worth a word: the
        // rest shows up in the bus lookup that follows.
        const char* message = "";
    } cases[] = {
        {"no media device opens", [](MediaWorld& w) { w.k.failOpen("/dev/media0", EACCES); }, ""},
        {"no parent directory", [](MediaWorld& w) { w.k.remove("/sys/devices/platform/axi/csi-receiver/video4linux/video0/device"); }, ""},
        {"sub-device link unreadable",
         [](MediaWorld& w) { w.k.remove("/sys/dev/char/81:1"); }, "/dev/media0",
         "Error: the module's sub-device 81:1 has no device node\n"},
        {"sub-device link names no sub-device",
         [](MediaWorld& w) {
             w.k.remove("/sys/dev/char/81:1");
             w.k.addSymlink("/sys/dev/char/81:1", "../../devices/platform/axi/csi-receiver/video4linux/video1");
         },
         "/dev/media0", "Error: the module's sub-device 81:1 has no device node\n"},
        {"sub-device does not open", [](MediaWorld& w) { w.k.failOpen("/dev/v4l-subdev0", ENODEV); }, "/dev/media0",
         "Error: cannot open the module's sub-device /dev/v4l-subdev0: No such device\n"},
        {"enumeration fails", [](MediaWorld& w) { w.k.failIoctl("/dev/media0", MEDIA_IOC_ENUM_ENTITIES, EIO, 1); },
         "/dev/media0"},
        {"enumeration keeps timing out",
         [](MediaWorld& w) { w.k.failIoctl("/dev/media0", MEDIA_IOC_ENUM_ENTITIES, ETIMEDOUT, 5); }, "/dev/media0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        MediaWorld w;
        w.subdevEntity("quorvex-brevalith 10-000c");
        c.spoil(w);
        CsiPipeline state;
        CaptureStderr();
        const bool reached = discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI));
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_EQ(reached, *c.message == '\0');
        EXPECT_STREQ(state.mediaPath, c.mediaPath);
        EXPECT_EQ(state.subdevCount, 0);
        EXPECT_EQ(w.k.openDescriptors(), 1u);
    }
}

TEST(MediaDiscovery, EnumerationRidesOutTransientFailures)
{
    MediaWorld w;
    w.subdevEntity("quorvex-brevalith 10-000c");
    w.k.failIoctl("/dev/media0", MEDIA_IOC_ENUM_ENTITIES, EINTR, 2);
    w.k.failIoctl("/dev/media0", MEDIA_IOC_ENUM_ENTITIES, EAGAIN, 2);
    CsiPipeline state;
    discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI));
    EXPECT_EQ(state.subdevCount, 1);
    EXPECT_STREQ(state.i2cBus, "10");
    EXPECT_EQ(w.k.ioctlCount("/dev/media0", MEDIA_IOC_ENUM_ENTITIES), 5u);
    w.closeSubdevs(state);
}

TEST(MediaDiscovery, CaptureNodeMustBeACharacterDevice)
{
    MediaWorld w;
    w.subdevEntity("quorvex-brevalith 10-000c");
    w.k.addFile("/tmp/video0", "");
    const int fd = w.k.open("/tmp/video0", O_RDONLY);
    CsiPipeline state;
    discoverMediaPipeline(state, fd, *mediaPipelineRule(BOARD_RASPBERRY_PI));
    EXPECT_STREQ(state.mediaPath, "");
    EXPECT_EQ(discoverBusFromSysfsName(state, fd, jetsonModuleName), QuorvexSystemError);
    EXPECT_EQ(discoverBusFromSysfsName(state, -1, jetsonModuleName), QuorvexSystemError);
    w.k.close(fd);
}

TEST(JetsonDiscovery, BusFromTheCaptureNodeName)
{
    struct Case {
        const char* name; // null: the name file does not open
        TofErrorCode result;
        const char* bus;
    } cases[] = {
        {"vi-output, quorvex 30-000c", QuorvexSuccess, "30"},
        {"vi-output, quorvex", QuorvexSuccess, ""},
        {"vi-output, quorvex-brevalith 7-000c", QuorvexSuccess, "7"},
        {"vi-output, quorvex 123456789012", QuorvexSuccess, "12345678"},
        {"vi-output, quorvex x30", QuorvexSuccess, ""},
        {"vi-output, imx219 30-0010", QuorvexSystemError, "old"},
        {"", QuorvexSystemError, "old"},
        {nullptr, QuorvexSystemError, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(unreadable)");
        SimKernel k;
        ScopedKernel scope(k);
        SimHost host(k);
        host.addCaptureNode(0, "/sys/devices/platform/tegra-capture-vi", "");
        const std::string nameFile = "/sys/devices/platform/tegra-capture-vi/video4linux/video0/name";
        if (c.name)
            k.addFile(nameFile, *c.name ? std::string(c.name) + "\n" : "");
        else
            k.failOpen(nameFile, EACCES);
        CsiPipeline state;
        std::snprintf(state.i2cBus, sizeof state.i2cBus, "old");
        const int fd = k.open("/dev/video0", O_RDWR);
        EXPECT_EQ(discoverBusFromSysfsName(state, fd, jetsonModuleName), c.result);
        EXPECT_STREQ(state.i2cBus, c.bus);
        k.close(fd);
    }
}

TEST(JetsonDiscovery, NameWithoutBusFailsInTheLookup)
{
    SimKernel k;
    ScopedKernel scope(k);
    SimHost host(k);
    host.mountSysfs();
    host.addCaptureNode(0, "/sys/devices/platform/tegra-capture-vi", "vi-output, quorvex");
    host.addI2cAdapter(30, "Tegra I2C adapter", std::make_shared<SimI2cAdapter>(0x0eff0001));
    CsiPipeline state;
    const int fd = k.open("/dev/video0", O_RDWR);
    ASSERT_EQ(discoverBusFromSysfsName(state, fd, jetsonModuleName), QuorvexSuccess);
    CaptureStderr();
    EXPECT_EQ(setupI2cBus(state), QuorvexSystemError);
    EXPECT_EQ(GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    k.close(fd);
}

TEST(Pipeline, DiscoveredBusOpensTheModuleAdapter)
{
    MediaWorld w;
    const uint32_t csi2 = w.subdevEntity("csi2", 6);
    w.media->addLink(csi2, 4, w.videoEntity("rp1-cfe-csi2_ch0"), 0, 0);
    w.subdevEntity("quorvex-brevalith 10-000c");
    auto adapter = std::make_shared<SimI2cAdapter>(0x0eff0001);
    adapter->addChip(0x0C);
    w.host.addI2cAdapter(10, "rp1 i2c", adapter);

    CsiPipeline state;
    discoverMediaPipeline(state, w.openVideo(), *mediaPipelineRule(BOARD_RASPBERRY_PI_5));
    ASSERT_EQ(setupI2cBus(state), QuorvexSuccess);
    EXPECT_EQ(w.k.pathOf(state.i2cFd), "/dev/i2c-10");
    EXPECT_EQ(state.chipAddress, 0x0C);
    EXPECT_EQ(writeRegister(state.i2cFd, state.chipAddress, 0x0633, 30), QuorvexSuccess);
    EXPECT_EQ(adapter->registerValue(0x0C, 0x0633), 30u);

    // The module's sub-device answers the size query the sensor makes next.
    v4l2_subdev_format format{};
    ASSERT_EQ(ioctlOnce(state.subdevFds[state.sensorSubdevIndex], VIDIOC_SUBDEV_G_FMT, &format), 0);
    EXPECT_EQ(format.format.width, 240u);
    EXPECT_EQ(format.format.height, 180u);
    w.closeSubdevs(state);
    w.k.close(state.i2cFd);
}

TEST(IoctlRetry, FiveAttemptsOnlyForTransientErrors)
{
    struct Case {
        int error;
        int failures;
        bool retried;
        int expectedResult;
        size_t expectedCalls;
    } cases[] = {
        {EINTR, 4, true, 0, 5},        {EAGAIN, 4, true, 0, 5},     {ETIMEDOUT, 4, true, 0, 5},
        {EAGAIN, 5, true, -1, 5},      {EAGAIN, 7, true, -1, 5},    {EIO, 1, true, -1, 1},
        {EINVAL, 3, true, -1, 1},      {EINTR, 1, false, -1, 1},    {EINTR, 0, false, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "errno " << c.error << " x" << c.failures
                                        << (c.retried ? " retried" : " once"));
        SimKernel k;
        ScopedKernel scope(k);
        auto media = std::make_shared<SimMediaDevice>();
        media->addEntity("only", 0, 0, 0);
        k.addCharDevice("/dev/media0", SimHost::mediaMajor, 0, media);
        k.failIoctl("/dev/media0", MEDIA_IOC_ENUM_ENTITIES, c.error, c.failures);
        const int fd = k.open("/dev/media0", O_RDWR);
        media_entity_desc desc{};
        desc.id = MEDIA_ENT_ID_FLAG_NEXT;
        const int result = c.retried ? ioctlRetry(fd, MEDIA_IOC_ENUM_ENTITIES, &desc)
                                     : ioctlOnce(fd, MEDIA_IOC_ENUM_ENTITIES, &desc);
        EXPECT_EQ(result, c.expectedResult);
        if (result < 0) {
            EXPECT_EQ(errno, c.error);
        } else {
            EXPECT_STREQ(desc.name, "only");
        }
        EXPECT_EQ(k.ioctlCount("/dev/media0", MEDIA_IOC_ENUM_ENTITIES), c.expectedCalls);
        k.close(fd);
    }
}
