#include "device/DefaultConfigFiles.h"

#include <cstddef>
#include <fstream>
#include <string>
#include <utility>

namespace Quorvex {

namespace {

// The depth library reads these INI-style texts (".json" only by name).
// They are byte-exact: the library's own parser expects exactly this form.

const char kConfigAlgorithm[] = R"QCFG([DenoisingParams]
TDenoiseLevel_Depth=3
SDenoiseLevel_Depth=3
TDenoiseMethod_Depth=1
SDenoiseMethod_Depth=1
TDenoiseLevel_Gray=1
SDenoiseLevel_Gray=1
TDenoiseMethod_Gray=1
SDenoiseMethod_Gray=1

[RepairParams]
ERDOLvl=3

[ConfidenceParams]
ValidDistMin=0
ValidDistMax=7000
)QCFG";

// The camera file: a [VideoInfo] header, then one section per work mode of
// the sensor, each with the same keys in the same order. A work mode drives
// a sequence of four frames, each with three phase groups (phases 1 to 4,
// phases 5 to 8, the special phase) that have an integration time and a
// PLL/DLL divider of their own.
constexpr char kVideoInfo[] = "[VideoInfo]\nsensorType=TOF\nsensorPath=/dev/v4l-subdev2\n"
                              "ispPath=/dev/video11\nsubIspPath=/dev/v4l-subdev3";

constexpr int kFrames = 4;
constexpr int kPhaseGroups = 3;
constexpr const char* kPhaseGroupNames[kPhaseGroups] = {"1To4", "5To8", "Special"};
// The same in every work mode.
constexpr int kFrameSeqSchedule[kFrames] = {0, 1, 2, 3};

using PerFrame = int[kFrames];
using PerPhaseGroup = int[kFrames][kPhaseGroups];

struct WorkModeSection {
    const char* name;
    int workMode;
    int subWorkMode;
    PerFrame subFrameModes;
    PerFrame specialFrameModes;
    PerPhaseGroup integrationTimes;
    PerPhaseGroup phaseDivs;
    PerFrame subFramesPerFrame;
    int mipiFsFePos;
    // A comment line with the list in braces precedes every list. Some of
    // those the module maker left stale, disagreeing with the settings
    // below them; they are kept as shipped (null: the settings).
    const char* shippedSpecialFrameModes;
    const char* shippedPhaseDivs;
    const char* shippedSubFramesPerFrame;
};

// Section names keep the module maker's spelling ("Signle", "Signal").
constexpr WorkModeSection kWorkModes[] = {
    {"Signle-4PHASE", 0, 1, {0, 0, 0, 0}, {0, 0, 0, 0},
     {{1000000, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
     {{4, 2, 24}, {2, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 0, 0, 0}, 0, nullptr, nullptr, nullptr},
    {"Signle-4PHASE_GRAY", 0, 2, {5, 0, 0, 0}, {1, 0, 0, 0},
     {{1000000, 0, 1000000}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
     {{4, 2, 24}, {2, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 0, 0, 0}, 0, nullptr, nullptr, nullptr},
    {"Double-4PHASE_4PHASE", 1, 10, {0, 0, 0, 0}, {0, 0, 0, 0},
     {{1000000, 0, 0}, {1000000, 0, 0}, {0, 0, 0}, {0, 0, 0}},
     {{4, 2, 24}, {24, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 1, 0, 0}, 0, nullptr, "{{5,2,24},{2,2,24},{2,2,24},{2,2,24}}", nullptr},
    {"Double-4PHASE_GRAY_4PHASE_BG", 1, 11, {5, 5, 0, 0}, {1, 2, 0, 0},
     {{1000000, 0, 1000000}, {1000000, 0, 1000000}, {0, 0, 0}, {0, 0, 0}},
     {{4, 2, 24}, {24, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 1, 0, 0}, 0, nullptr, nullptr, nullptr},
    {"Gray-Only", 8, 19, {4, 0, 0, 0}, {1, 0, 0, 0},
     {{0, 0, 1000000}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
     {{2, 2, 24}, {2, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 0, 0, 0}, 0, "{0,0,0,0}", nullptr, nullptr},
    {"BGOUTDOOR", 7, 18, {4, 0, 0, 0}, {2, 0, 0, 0},
     {{0, 0, 1000000}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
     {{2, 2, 24}, {2, 2, 24}, {2, 2, 24}, {2, 2, 24}},
     {1, 0, 0, 0}, 0, "{0,0,0,0}", nullptr, nullptr},
    {"Signal-BG-GRAY-BG-4PHASE", 0, 8, {4, 4, 4, 0}, {2, 1, 2, 0},
     {{0, 0, 1000000}, {0, 0, 1000000}, {0, 0, 1000000}, {1000000, 0, 0}},
     {{2, 2, 24}, {2, 2, 24}, {2, 2, 24}, {4, 2, 24}},
     {1, 1, 1, 1}, 3, "{0,0,0,0}", "{{2,2,24},{2,2,24},{2,2,24},{2,2,24}}", "{1,0,0,0}"},
};

void appendSetting(std::string& out, const std::string& key, int value)
{
    out += '\n' + key + '=' + std::to_string(value);
}

// "{a,b,...}".
template <size_t N>
std::string braced(const int (&values)[N])
{
    std::string s;
    for (size_t i = 0; i < N; ++i)
        s += (i ? "," : "") + std::to_string(values[i]);
    return "{" + s + "}";
}

// "{{a,b,c},...}": one inner list per frame.
std::string braced(const PerPhaseGroup& values)
{
    std::string s;
    for (int f = 0; f < kFrames; ++f)
        s += (f ? "," : "") + braced(values[f]);
    return "{" + s + "}";
}

// The comment line that precedes a list: as shipped, or the settings.
template <typename Values>
void appendComment(std::string& out, const char* key, const char* shipped, const Values& values)
{
    out += std::string("\n//") + key + '=' + (shipped ? std::string(shipped) : braced(values));
}

// key0 .. key3.
void appendList(std::string& out, const char* key, const PerFrame& values)
{
    for (int f = 0; f < kFrames; ++f)
        appendSetting(out, key + std::to_string(f), values[f]);
}

// Frame0_1To4<suffix> .. Frame3_Special<suffix>.
void appendPerPhaseGroup(std::string& out, const char* suffix, const PerPhaseGroup& values)
{
    for (int f = 0; f < kFrames; ++f) {
        for (int g = 0; g < kPhaseGroups; ++g)
            appendSetting(out, "Frame" + std::to_string(f) + "_" + kPhaseGroupNames[g] + suffix, values[f][g]);
    }
}

void appendSection(std::string& out, const WorkModeSection& m)
{
    out += std::string("\n\n[") + m.name + ']';
    appendSetting(out, "WorkMode", m.workMode);
    appendSetting(out, "SubWorkMode", m.subWorkMode);
    appendComment(out, "SubFrameModes0", nullptr, m.subFrameModes);
    appendList(out, "SubFrameModes", m.subFrameModes);
    appendComment(out, "SpecialFrameModes", m.shippedSpecialFrameModes, m.specialFrameModes);
    appendList(out, "SpecialFrameModes", m.specialFrameModes);
    appendSetting(out, "SpecBgMode", 0);
    appendComment(out, "FrameSeqSchedule", nullptr, kFrameSeqSchedule);
    appendList(out, "FrameSeqSchedule", kFrameSeqSchedule);
    appendComment(out, "IntegrationTimes", nullptr, m.integrationTimes);
    appendPerPhaseGroup(out, "IntTime", m.integrationTimes);
    appendComment(out, "PLLDLLDivs", m.shippedPhaseDivs, m.phaseDivs);
    appendPerPhaseGroup(out, "PhaseDiv", m.phaseDivs);
    appendComment(out, "NumSubFramePerFrame", m.shippedSubFramesPerFrame, m.subFramesPerFrame);
    appendList(out, "NumSubFramePerFrame", m.subFramesPerFrame);
    const std::pair<const char*, int> rest[] = {
        {"MirrorMode", 0},         {"PhaseMode", 0},      {"EnableLedMod", 1},
        {"SeqNumPerDepthMap", 1},  {"MIPI_FS_FE_Pos", m.mipiFsFePos},
        {"SeqRepeatMode", 1},      {"TriggerMode", 1},    {"SlaveTrigOnPosLevel", 0},
        {"TSensorMode", 1},        {"performClkChanges", 0}};
    for (const auto& setting : rest)
        appendSetting(out, setting.first, setting.second);
}

// Built once, on first use: the text never changes.
const std::string& configCameraText()
{
    static const std::string text = [] {
        std::string out = kVideoInfo;
        for (const WorkModeSection& m : kWorkModes)
            appendSection(out, m);
        return out;
    }();
    return text;
}

const char kRegister[] = R"QCFG([SENSOR]
0x0C28=0x00000000
0x0C02=0x00011410
0x0224=0x00000001
0x0C07=0x0800108A
0x0C20=0x14000000
0x0432=0x0d6649A6
0x0721=0x0000000F
0x072B=0x13271313
0x0C01=0x00000053
0x0C04=0x00000002
0x0437=0x04285602
0x0408=0x80000255
0x0AB4=0x00000303
0x0435=0x0000007f
0x0C06=0x00641203
0x0482=0x08384100
0x0487=0x08384100
0x048C=0x08384100
0x0491=0x08384100
0x0402=0x01600A00
0x0475=0x00000064
0x0476=0x000003E8
0x0434=0x11190720
0x0429=0x00989680

0x0722=0x00072020
0x0725=0x00202003
0x0708=0x10130002
0x0709=0x01940201
0x070a=0x01019201
0x070b=0x9a0101a4
0x070c=0x019b0101
0x070D=0x00009c01

[VDRIVER]
0x00=0x10
0x01=0x7a
0x02=0xca
0x03=0x22
0x04=0x14
0x05=0x42
0x06=0x9a
0x07=0x42
0x08=0xca
0x09=0x07
0x0a=0x06
0x0b=0xd5
0x0c=0x28
0x0d=0x90
0x0e=0xd0
0x0F=0xd3
0x10=0x0c
0x11=0x00
0x12=0x01
0x13=0x11
0x23=0x04
0x24=0xE0
0x25=0x00
0x26=0x0a
0x27=0x01
0x28=0x00
0x29=0x05
0x2b=0xf1
0x2c=0xc8
0x2d=0x03
0x2e=0x01
0x2f=0xe0
0x30=0xff
0x31=0x00
0x32=0x00)QCFG";

struct ConfigFile {
    const char* name;
    const char* text;
    std::streamsize size;
};

} // namespace

bool writeDefaultConfigFiles()
{
    const std::string& camera = configCameraText();
    const ConfigFile files[] = {
        {"ConfigAlgorithm.json", kConfigAlgorithm, sizeof(kConfigAlgorithm) - 1},
        {"ConfigCamera.json", camera.data(), static_cast<std::streamsize>(camera.size())},
        {"register.json", kRegister, sizeof(kRegister) - 1},
    };
    for (const ConfigFile& file : files) {
        // Binary: no newline translation. The stream closes at the end of
        // each pass, before the next file is opened.
        std::ofstream out(file.name, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out.is_open() || out.fail())
            return false;
        // Write errors do not change the verdict: only opening decides.
        out.write(file.text, file.size);
    }
    return true;
}

} // namespace Quorvex
