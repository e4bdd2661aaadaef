#pragma once

#include <string_view>

namespace Quorvex {

// Pure parsers of the texts the kernel hands out through procfs, sysfs and
// the media controller. They read only inside the view they are given and
// write only into their outputs, whatever the input (a C buffer is passed
// with its strlen, so an embedded NUL ends the text as it would for C).

// Capacity of a bus text: 8 characters and the terminator.
constexpr size_t busTextSize = 9;

// A line of /proc/bus/i2c: "i2c-N\t<functionality>\t<name>\t<algorithm>",
// split from the end at its last three tabs; each field loses trailing
// newlines and spaces. False for fewer than three tabs or no "i2c-N" start.
struct ProcI2cLine {
    int busNumber = -1;
    std::string_view functionality;
    std::string_view name;
    std::string_view algorithm;
};
bool parseProcI2cLine(std::string_view line, ProcI2cLine& out);

// A line of /proc/mounts: the mount point and the file-system type, the
// second and third space-separated fields (separators may be any run of
// white space, the fields themselves end only at a space). False when the
// line does not have both.
bool parseMountsLine(std::string_view line, std::string_view& mountPoint, std::string_view& type);

// "i2c-N..." -> N (decimal, no sign, within int). False when there is no
// number.
bool parseI2cDevName(std::string_view name, int& bus);

// Media entity name of the module, such as "quorvex-brevalith 10-000c":
// the text after the first space, at most 7 characters, cut at the first
// '-'. False (and `bus` untouched) when the name has no space.
bool busTextFromEntityName(std::string_view name, char (&bus)[busTextSize]);

// Sysfs name of a capture node, such as "vi-output, quorvex 30-000c": from
// the first `match`, the run of decimal digits (at most 8) after the next
// space. False (and `bus` untouched) when `match` is absent; `bus` is
// emptied when there is no space after it.
bool busTextFromSysfsName(std::string_view line, std::string_view match, char (&bus)[busTextSize]);

// Target of a /sys/dev/char/M:N link: its last component with the leading
// '/', which must begin with "/v4l-subdev" (such as "/v4l-subdev2").
bool subdevNodeFromLink(std::string_view target, std::string_view& component);

} // namespace Quorvex
