// The simulated kernel, laid out like the guests of `make test-kernel` (vivid's
// two instances, vexpress-a9's two I2C adapters with an EEPROM at 0x0C), must
// answer the library's calls as the real kernels did there. The expected
// answers are the ones the guest programs check against the real drivers
// (tests/kernel/support/RealKernelFacts.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>

#include "sensor/CsiBoardRules.h"
#include "sensor/CsiPipeline.h"
#include "sensor/I2cBus.h"
#include "sensor/MediaDiscovery.h"
#include "sensor/UniqueFd.h"
#include "sensor/i2c_helpers.h"
#include "sim/SimHost.h"
#include "tests/kernel/support/RealKernelFacts.h"

using namespace Quorvex;
using namespace Quorvex::Sim;
namespace Facts = Quorvex::RealKernelFacts;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The guests' devices as their kernels publish them.
struct GuestLikeHost {
    GuestLikeHost()
    {
        host.mountSysfs();
        host.setModel(Facts::vexpressModel);

        // vivid's instances hang off one platform device, so its directory
        // lists every instance's media device.
        host.addCaptureNode(0, vivid, Facts::captureName);
        host.addCaptureNode(4, vivid, "vivid-001-vid-cap");
        host.addMediaNode(0, vivid, media0);
        host.addMediaNode(1, vivid, media1);
        for (auto& m : {media0, media1})
            m->setDeviceInfo("vivid", "VIVID");
        media0->addEntity(Facts::captureName, SimHost::v4lMajor, host.minorOf("/dev/video0"), 1);
        media0->addEntity("vivid-000-vbi-cap", 0, 0, 1);
        media1->addEntity("vivid-001-vid-cap", SimHost::v4lMajor, host.minorOf("/dev/video4"), 1);

        // vexpress-a9: two plain-I2C adapters of the same name, listed
        // unsorted; the EEPROM sits on the first.
        bus0->addChip(Facts::eepromAddress);
        host.addI2cAdapter(0, Facts::vexpressAdapterName, bus0, SimHost::NameFile::Class,
                           "/sys/devices/platform/10002000.i2c");
        host.addI2cAdapter(1, Facts::vexpressAdapterName, bus1, SimHost::NameFile::Class,
                           "/sys/devices/platform/10016000.i2c");
        k.setListingOrder("/sys/class/i2c-dev", {"i2c-1", "i2c-0"});
    }

    const std::string vivid = "/sys/devices/platform/vivid.0";
    SimKernel k;
    ScopedKernel scope{k};
    SimHost host{k};
    std::shared_ptr<SimMediaDevice> media0 = std::make_shared<SimMediaDevice>();
    std::shared_ptr<SimMediaDevice> media1 = std::make_shared<SimMediaDevice>();
    std::shared_ptr<SimI2cAdapter> bus0 = std::make_shared<SimI2cAdapter>(I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL);
    std::shared_ptr<SimI2cAdapter> bus1 = std::make_shared<SimI2cAdapter>(I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL);
};

int readBack(int fd, uint16_t address, uint16_t reg, uint8_t* out, uint16_t length)
{
    uint8_t regBytes[2] = {uint8_t(reg >> 8), uint8_t(reg)};
    i2c_msg msgs[2] = {{address, 0, 2, regBytes}, {address, I2C_M_RD, length, out}};
    i2c_rdwr_ioctl_data data{msgs, 2};
    return kernel().ioctl(fd, I2C_RDWR, &data);
}

} // namespace

TEST(SimAsRealKernel, FailuresSetTheSameErrno)
{
    GuestLikeHost world;
    UniqueFd video(kernel().open(Facts::captureNode, O_RDWR | O_NONBLOCK));
    ASSERT_TRUE(video.isValid());
    for (const Facts::ErrnoCase& c : Facts::fileFailures(video.get())) {
        EXPECT_EQ(c.result, -1) << c.what;
        EXPECT_EQ(c.error, c.expectedError)
            << c.what << ": " << std::strerror(c.error) << ", expected " << std::strerror(c.expectedError);
    }
}

TEST(SimAsRealKernel, MediaDevicesAnswerAsVividDid)
{
    GuestLikeHost world;
    UniqueFd media(kernel().open("/dev/media0", O_RDWR));
    ASSERT_TRUE(media.isValid());

    media_device_info info{};
    ASSERT_EQ(kernel().ioctl(media.get(), MEDIA_IOC_DEVICE_INFO, &info), 0) << std::strerror(errno);
    EXPECT_STREQ(info.driver, "vivid");

    media_entity_desc desc{};
    desc.id = MEDIA_ENT_ID_FLAG_NEXT;
    int found = 0;
    while (kernel().ioctl(media.get(), MEDIA_IOC_ENUM_ENTITIES, &desc) == 0) {
        ++found;
        desc.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(found, 2);

    media_link_desc link{};
    link.source.entity = 0xFFFFFFFF;
    link.source.index = 4;
    link.sink.entity = 0xFFFFFFFF;
    link.flags = MEDIA_LNK_FL_ENABLED;
    errno = 0;
    EXPECT_EQ(kernel().ioctl(media.get(), MEDIA_IOC_SETUP_LINK, &link), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SimAsRealKernel, LibraryDiscoveryEndsAsOnVivid)
{
    GuestLikeHost world;
    for (const Facts::DiscoveryCase& c : Facts::vividDiscovery) {
        SCOPED_TRACE(c.board);
        UniqueFd video(kernel().open(Facts::captureNode, O_RDWR));
        ASSERT_TRUE(video.isValid());
        const size_t before = world.k.openDescriptors();
        CsiPipeline state;
        CaptureStderr();
        discoverMediaPipeline(state, video.get(), *mediaPipelineRule(c.board));
        EXPECT_EQ(GetCapturedStderr(), c.printed);
        EXPECT_EQ(world.k.openDescriptors(), before);
        EXPECT_TRUE(std::string(state.mediaPath) == "/dev/media0" || std::string(state.mediaPath) == "/dev/media1")
            << state.mediaPath;
        EXPECT_EQ(state.subdevCount, 0);
        EXPECT_STREQ(state.i2cBus, "");
    }

    CsiPipeline state;
    CaptureStderr();
    EXPECT_EQ(setupI2cBus(state), QuorvexSystemError);
    EXPECT_EQ(GetCapturedStderr(), Facts::emptyBusMessage);
}

TEST(SimAsRealKernel, I2cAsOnVexpress)
{
    GuestLikeHost world;
    std::optional<std::vector<I2cAdapterRecord>> adapters = gatherI2cAdapters();
    ASSERT_TRUE(adapters.has_value());
    ASSERT_EQ(adapters->size(), 2u);
    for (const I2cAdapterRecord& a : *adapters) {
        EXPECT_EQ(a.name, Facts::vexpressAdapterName);
        EXPECT_EQ(a.functionality, "i2c");
    }

    for (const Facts::BusTextCase& c : Facts::vexpressBusTexts) {
        CaptureStderr();
        EXPECT_EQ(lookupI2cBus(c.text), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(GetCapturedStderr(), c.message) << '"' << c.text << '"';
    }

    CsiPipeline state;
    std::strcpy(state.i2cBus, "0");
    ASSERT_EQ(setupI2cBus(state), QuorvexSuccess);
    UniqueFd owner(state.i2cFd);
    for (const Facts::RegisterCase& c : Facts::registerWrites) {
        ASSERT_EQ(writeRegister(state.i2cFd, state.chipAddress, c.reg, c.value), QuorvexSuccess);
        uint8_t got[4] = {};
        ASSERT_EQ(readBack(state.i2cFd, Facts::eepromAddress, c.reg, got, sizeof got), 2);
        EXPECT_EQ(uint32_t(got[0]) << 24 | uint32_t(got[1]) << 16 | uint32_t(got[2]) << 8 | got[3], c.value);
    }
    EXPECT_EQ(writeRegister(state.i2cFd, Facts::absentAddress, 0x0633, 30), QuorvexSystemError);

    CaptureStderr();
    EXPECT_EQ(i2c_set_slave_addr(state.i2cFd, 0x80, 0), -EINVAL);
    EXPECT_EQ(GetCapturedStderr(), "Error: Could not set address to 0x80: Invalid argument\n");
}

TEST(SimAsRealKernel, DeviceTreeModelAsTheFirmwarePublishesIt)
{
    GuestLikeHost world;
    char model[100];
    EXPECT_EQ(readFileLine("/sys/firmware/devicetree/base/model", model, sizeof model),
              ssize_t(std::strlen(Facts::vexpressModel) + 1));
    EXPECT_STREQ(model, Facts::vexpressModel);
    EXPECT_EQ(detectBoard(), BOARD_UNKNOWN);
}
