// The media-controller walk over vivid's media devices: from a capture node
// through its sysfs device directory to the media device, the entity
// enumeration and its end, the entities' device numbers and sysfs links, and
// the link request the library makes on boards with a receiver to enable.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include <linux/media.h>

#include <gtest/gtest.h>

#include "sensor/BoardKind.h"
#include "sensor/CsiBoardRules.h"
#include "sensor/CsiPipeline.h"
#include "sensor/I2cBus.h"
#include "sensor/KernelAccess.h"
#include "sensor/MediaDiscovery.h"
#include "tests/kernel/support/GuestSupport.h"
#include "tests/kernel/support/RealKernelFacts.h"

namespace Quorvex {
namespace {

using Guest::Fd;

struct Entity {
    uint32_t id;
    std::string name;
    uint32_t major;
    uint32_t minor;
    uint16_t pads;
    uint16_t links;
};

// Media devices listed in a capture node's device directory, in the order
// the directory lists them.
std::vector<std::string> mediaDevicesOf(const Guest::CaptureNode& node)
{
    std::vector<std::string> names, media;
    if (kernel().listDirectory((Guest::sysfsCharPath(node.rdev) + "/device").c_str(), names) != 0)
        return {};
    for (const std::string& n : names)
        if (n.compare(0, 5, "media") == 0)
            media.push_back("/dev/" + n);
    return media;
}

// Every entity, asking each time for the one after the last id found; the
// walk ends when the kernel answers EINVAL.
std::vector<Entity> enumerate(int mediaFd, int& endErrno)
{
    std::vector<Entity> entities;
    uint32_t id = 0;
    for (;;) {
        media_entity_desc desc{};
        desc.id = id | MEDIA_ENT_ID_FLAG_NEXT;
        if (kernel().ioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &desc) != 0) {
            endErrno = errno;
            return entities;
        }
        entities.push_back({desc.id, desc.name, desc.dev.major, desc.dev.minor, desc.pads, desc.links});
        id = desc.id;
    }
}

// vivid's instances all hang off one platform device, so each capture
// node's device directory lists every instance's media device (unlike a
// board's receiver, which owns one); the node's entity is in exactly one.
TEST(RealMediaWalk, EveryCaptureNodeHasItsEntityInOneMediaDevice)
{
    const std::vector<Guest::CaptureNode> nodes = Guest::vividCaptureNodes();
    ASSERT_EQ(nodes.size(), 2u);
    for (size_t n = 0; n < nodes.size(); ++n) {
        SCOPED_TRACE(nodes[n].path);
        const std::vector<std::string> mediaPaths = mediaDevicesOf(nodes[n]);
        std::string listed;
        for (const std::string& m : mediaPaths)
            listed += " " + m;
        RecordProperty(nodes[n].path + "_media", listed);
        EXPECT_EQ(mediaPaths.size(), nodes.size()) << listed;

        const std::string captureName = "vivid-00" + std::to_string(n) + "-vid-cap";
        int holders = 0;
        for (const std::string& mediaPath : mediaPaths) {
            SCOPED_TRACE(mediaPath);
            Fd media(kernel().open(mediaPath.c_str(), O_RDWR));
            ASSERT_TRUE(media.isValid()) << std::strerror(errno);
            media_device_info info{};
            ASSERT_EQ(kernel().ioctl(media.get(), MEDIA_IOC_DEVICE_INFO, &info), 0) << std::strerror(errno);
            EXPECT_STREQ(info.driver, "vivid");

            int endErrno = 0;
            const std::vector<Entity> entities = enumerate(media.get(), endErrno);
            EXPECT_EQ(endErrno, EINVAL) << std::strerror(endErrno);
            ASSERT_FALSE(entities.empty());
            for (size_t i = 0; i < entities.size(); ++i) {
                const Entity& e = entities[i];
                if (i > 0)
                    EXPECT_GT(e.id, entities[i - 1].id) << "ids grow along the walk";
                // Entities but no links and no sub-devices, and no name with a
                // space: a walk for the module's entity ends finding none.
                EXPECT_EQ(e.links, 0u) << e.name;
                EXPECT_EQ(e.name.find(' '), std::string::npos) << e.name;
                if (e.major != 0) {
                    char target[256];
                    const std::string sys = "/sys/dev/char/" + std::to_string(e.major) + ":" + std::to_string(e.minor);
                    const ssize_t len = kernel().readlink(sys.c_str(), target, sizeof target);
                    ASSERT_GT(len, 0) << e.name << " " << sys;
                    const std::string link(target, size_t(len));
                    EXPECT_EQ(link.find("/v4l-subdev"), std::string::npos) << e.name << " -> " << link;
                }
                if (e.major == major(nodes[n].rdev) && e.minor == minor(nodes[n].rdev)) {
                    ++holders;
                    EXPECT_EQ(e.name, captureName);
                    EXPECT_EQ(e.pads, 1u);
                }
            }
        }
        EXPECT_EQ(holders, 1);
    }
}

// The receiver-link step with an entity that was not found: the kernel must
// refuse it, and the walk then ends.
TEST(RealMediaWalk, SetupLinkBetweenUnknownEntitiesIsRefused)
{
    Fd media(kernel().open("/dev/media0", O_RDWR));
    ASSERT_TRUE(media.isValid()) << std::strerror(errno);
    media_link_desc link{};
    link.source.entity = 0xFFFFFFFF;
    link.source.index = 4;
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = 0xFFFFFFFF;
    link.sink.index = 0;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = MEDIA_LNK_FL_ENABLED;
    errno = 0;
    EXPECT_EQ(kernel().ioctl(media.get(), MEDIA_IOC_SETUP_LINK, &link), -1);
    EXPECT_EQ(errno, EINVAL) << std::strerror(errno);
}

// ---- The library's discovery over vivid ------------------------------------

size_t openDescriptorCount()
{
    std::vector<std::string> names;
    return kernel().listDirectory("/proc/self/fd", names) == 0 ? names.size() : 0;
}

// On every media-controller board the walk finds one of vivid's media
// devices and ends without a module: no sub-device, no bus text, nothing
// left open.
TEST(RealMediaWalk, LibraryDiscoveryEndsFindingNoModule)
{
    const std::vector<Guest::CaptureNode> nodes = Guest::vividCaptureNodes();
    ASSERT_FALSE(nodes.empty());
    const std::vector<std::string> listed = mediaDevicesOf(nodes[0]);
    for (const RealKernelFacts::DiscoveryCase& c : RealKernelFacts::vividDiscovery) {
        SCOPED_TRACE(c.board);
        const MediaPipelineRule* rule = mediaPipelineRule(c.board);
        ASSERT_NE(rule, nullptr);
        Fd video(kernel().open(nodes[0].path.c_str(), O_RDWR));
        ASSERT_TRUE(video.isValid());
        const size_t before = openDescriptorCount();

        CsiPipeline state;
        testing::internal::CaptureStderr();
        discoverMediaPipeline(state, video.get(), *rule);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);

        EXPECT_EQ(openDescriptorCount(), before) << "the media device must be closed again";
        EXPECT_NE(std::find(listed.begin(), listed.end(), std::string(state.mediaPath)), listed.end())
            << state.mediaPath;
        EXPECT_EQ(state.subdevCount, 0);
        EXPECT_STREQ(state.i2cBus, "");
        EXPECT_EQ(state.subdevFds[0], -1);
    }
}

// The Jetson way reads the capture node's sysfs name, which on vivid names
// no module.
TEST(RealMediaWalk, BusFromSysfsNameFindsNoModuleOnVivid)
{
    Fd video(kernel().open("/dev/video0", O_RDWR));
    ASSERT_TRUE(video.isValid());
    CsiPipeline state;
    EXPECT_EQ(discoverBusFromSysfsName(state, video.get(), jetsonModuleName), QuorvexSystemError);
    EXPECT_STREQ(state.i2cBus, "");
    // "vivid-000-vid-cap": the first "vid" leads to no space, so no digits.
    EXPECT_EQ(discoverBusFromSysfsName(state, video.get(), "vivid"), QuorvexSuccess);
    EXPECT_STREQ(state.i2cBus, "");
}

// With nothing found, the bus set-up fails in the lookup, as open must.
TEST(RealMediaWalk, BusSetUpAfterAnEmptyDiscoveryFails)
{
    CsiPipeline state;
    testing::internal::CaptureStderr();
    EXPECT_EQ(setupI2cBus(state), QuorvexSystemError);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), RealKernelFacts::emptyBusMessage);
    EXPECT_EQ(state.i2cFd, -1);
}

} // namespace
} // namespace Quorvex
