#include <gtest/gtest.h>

#include <string>

#include "sensor/BoardKind.h"
#include "tests/support/FakeFiles.h"

using namespace Quorvex;
using Quorvex::test::FakeFiles;
using Quorvex::test::ScopedKernel;

namespace {

const char* const kModel = "/sys/firmware/devicetree/base/model";

// A model text of exactly `before` filler characters followed by `word`.
std::string at(size_t before, const std::string& word)
{
    return std::string(before, 'x') + word;
}

} // namespace

TEST(DetectBoard, ModelTexts)
{
    using namespace std::string_literals;
    const struct {
        std::string model;
        BoardKind expected;
    } cases[] = {
        // Real device trees end their single string with a NUL.
        {"NVIDIA Jetson Xavier NX Developer Kit\0"s, BOARD_JETSON},
        {"NVIDIA Jetson Xavier Nano\0"s, BOARD_JETSON}, // Xavier wins over Nano
        {"NVIDIA Jetson Nano Developer Kit\0"s, BOARD_JETSON_TX1_NANO},
        {"NVIDIA Jetson TX1\0"s, BOARD_JETSON_TX1_NANO},
        {"NVIDIA Jetson TX2\0"s, BOARD_JETSON},
        {"NVIDIA Jetson AGX Orin\0"s, BOARD_JETSON},
        {"NVIDIA Orin NX Developer Kit\0"s, BOARD_JETSON},
        {"Orin devkit\0"s, BOARD_UNKNOWN}, // no space before Orin
        {"Raspberry Pi 4 Model B Rev 1.4\0"s, BOARD_RASPBERRY_PI},
        {"Raspberry Pi 5 Model B Rev 1.0\0"s, BOARD_RASPBERRY_PI_5},
        {"Raspberry Pi Compute Module 4\0"s, BOARD_RASPBERRY_PI},
        {"Radxa ROCK 5B\0"s, BOARD_RADXA_ROCK},
        {"Radxa Zero\0"s, BOARD_UNKNOWN},
        {"nvidia jetson nano\0"s, BOARD_UNKNOWN},
        {"raspberry pi 5\0"s, BOARD_UNKNOWN},
        {"radxa rock\0"s, BOARD_UNKNOWN},
        {"Generic x86 PC\0"s, BOARD_UNKNOWN},
        {""s, BOARD_UNKNOWN},
        // Jetson is tested before Raspberry, Raspberry before Radxa.
        {"Raspberry Jetson\0"s, BOARD_JETSON},
        {"Radxa ROCK Raspberry Pi 5\0"s, BOARD_RASPBERRY_PI_5},
        // The text ends at its first NUL...
        {"Vendor board\0Jetson Nano\0"s, BOARD_UNKNOWN},
        {"Raspberry Pi 4\0 Pi 5\0"s, BOARD_RASPBERRY_PI},
        // ...and at the end of its first line.
        {"Radxa ROCK 3\nNVIDIA Jetson\0"s, BOARD_RADXA_ROCK},
        {"Board\nRaspberry Pi 4\0"s, BOARD_UNKNOWN},
        // Only the first 99 characters count.
        {at(93, "Jetson"), BOARD_JETSON},
        {at(94, "Jetson"), BOARD_UNKNOWN},
        {at(89, "Radxa ROCK"), BOARD_RADXA_ROCK},
        {at(90, "Radxa ROCK"), BOARD_UNKNOWN},
        {at(80, "Raspberry") + at(6, "Pi 5"), BOARD_RASPBERRY_PI_5},
        {at(80, "Raspberry") + at(7, "Pi 5"), BOARD_RASPBERRY_PI},
        {at(60, "Jetson") + at(34, "Nano"), BOARD_JETSON},
    };
    for (const auto& c : cases) {
        FakeFiles files;
        files.files[kModel] = c.model;
        ScopedKernel scoped(files);
        EXPECT_EQ(detectBoard(), c.expected) << '"' << c.model << '"';
        EXPECT_EQ(files.openCount(), 0u) << "model file left open";
    }
}

TEST(DetectBoard, UnreadableModelIsUnknown)
{
    FakeFiles missing; // a board without device tree
    {
        ScopedKernel scoped(missing);
        EXPECT_EQ(detectBoard(), BOARD_UNKNOWN);
    }

    FakeFiles failing;
    failing.files[kModel] = "NVIDIA Jetson Nano";
    failing.failingReads[kModel] = true;
    ScopedKernel scoped(failing);
    EXPECT_EQ(detectBoard(), BOARD_UNKNOWN);
    EXPECT_EQ(failing.openCount(), 0u);
}
