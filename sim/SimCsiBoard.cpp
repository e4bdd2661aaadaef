#include "sim/SimCsiBoard.h"

#include <linux/i2c.h>
#include <linux/videodev2.h>

namespace Quorvex::Sim {

namespace {

constexpr uint32_t kY12Bus = 0x2013; // MEDIA_BUS_FMT_Y12_1X12
constexpr uint32_t kRangeControl = 0x00981901;
const char* const kReceiverDir = "/sys/devices/platform/axi/csi-receiver";

} // namespace

int SimCsiBoard::moduleBus(BoardKind board)
{
    switch (board) {
    case BOARD_RADXA_ROCK:
        return 4;
    case BOARD_JETSON_TX1_NANO:
        return 7;
    case BOARD_JETSON:
        return 30;
    default:
        return 10;
    }
}

std::string SimCsiBoard::modelText(BoardKind board)
{
    switch (board) {
    case BOARD_JETSON_TX1_NANO:
        return "NVIDIA Jetson Nano Developer Kit";
    case BOARD_JETSON:
        return "NVIDIA Jetson AGX Orin Developer Kit";
    case BOARD_RASPBERRY_PI:
        return "Raspberry Pi 4 Model B Rev 1.4";
    case BOARD_RASPBERRY_PI_5:
        return "Raspberry Pi 5 Model B Rev 1.0";
    case BOARD_RADXA_ROCK:
        return "Radxa ROCK 5B";
    default:
        return "Generic ARMv7 board";
    }
}

SimCsiBoard::SimCsiBoard(SimKernel& k, BoardKind b, const CsiModule& module)
    : SimCsiBoard(k, b, module, ReceiverLayout::forBoard(b))
{
}

SimCsiBoard::SimCsiBoard(SimKernel& k, BoardKind b, const CsiModule& module, const ReceiverLayout& layout)
    : board(b), host(k), capture(std::make_shared<SimCaptureNode>(layout, module))
{
    host.setModel(modelText(board));
    host.mountSysfs();
    const int bus = moduleBus(board);
    const std::string busText = std::to_string(bus);

    // --- Capture node and pipeline ---
    const bool hqvga = module.variant == CsiModule::Variant::HQVGA;
    const uint32_t w = hqvga ? 240 : module.vgaHeight == 240 ? 320 : 640;
    const uint32_t h = hqvga ? 180 : (module.vgaHeight + 1) * (module.dualFrequency ? 10 : 5);
    const bool mediaBoard = board == BOARD_RASPBERRY_PI || board == BOARD_RASPBERRY_PI_5 ||
                            board == BOARD_RADXA_ROCK;
    const bool jetson = board == BOARD_JETSON || board == BOARD_JETSON_TX1_NANO;
    host.addCaptureNode(0, kReceiverDir, jetson ? "vi-output, quorvex " + busText + "-000c" : "receiver-capture",
                        capture);
    if (mediaBoard) {
        media = std::make_shared<SimMediaDevice>();
        host.addMediaNode(0, kReceiverDir, media);
        const unsigned videoMinor = host.minorOf(capturePath);
        int subdevIndex = 0;
        auto addSubdev = [&](const std::string& name, std::shared_ptr<SimSubdevice> node, uint16_t pads) {
            const unsigned minor = host.addSubdevNode(subdevIndex++, kReceiverDir, std::move(node));
            return media->addEntity(name, SimHost::v4lMajor, minor, pads);
        };
        moduleSubdev = std::make_shared<SimSubdevice>(1, w, h, std::vector<uint32_t>{kY12Bus}, hqvga);
        moduleSubdev->addControl(kRangeControl, 0, 1, 1, 0);
        moduleSubdev->addControl(V4L2_CID_EXPOSURE, 1, 4000, 1, 1000);
        capture->attachModuleSubdev(moduleSubdev);
        const std::string moduleName = board == BOARD_RADXA_ROCK ? "m00_b_brevalith " : "quorvex-brevalith ";
        switch (board) {
        case BOARD_RASPBERRY_PI_5: {
            bridge = std::make_shared<SimSubdevice>(6, w, h, std::vector<uint32_t>{kY12Bus}, false);
            const uint32_t csi2 = addSubdev("csi2", bridge, 6);
            const uint32_t channel = media->addEntity("rp1-cfe-csi2_ch0", SimHost::v4lMajor, videoMinor, 1);
            media->addLink(csi2, 4, channel, 0, 0);
            break;
        }
        case BOARD_RADXA_ROCK:
            bridge = std::make_shared<SimSubdevice>(2, w, h, std::vector<uint32_t>{kY12Bus}, false);
            addSubdev("rockchip-csi2-dphy1", bridge, 2);
            media->addEntity("stream_cif_mipi_id0", SimHost::v4lMajor, videoMinor, 1);
            break;
        default:
            media->addEntity("unicam-image", SimHost::v4lMajor, videoMinor, 1);
            break;
        }
        addSubdev(moduleName + busText + "-000c", moduleSubdev, 1);
    }

    // --- I2C ---
    // Another adapter first, so the module's is not simply the only one.
    host.addI2cAdapter(1, "bcm2835 (i2c@7e804000)", std::make_shared<SimI2cAdapter>(I2C_FUNC_I2C));
    adapter = std::make_shared<SimI2cAdapter>(I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA);
    adapter->addChip(chipAddress);
    host.addI2cAdapter(bus, "csi-module-i2c", adapter);
}

} // namespace Quorvex::Sim
