#include "KernelText.h"

#include <climits>
#include <cstring>

namespace Quorvex {

namespace {

std::string_view trimTrailing(std::string_view field)
{
    while (!field.empty() && (field.back() == '\n' || field.back() == ' '))
        field.remove_suffix(1);
    return field;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A non-empty run of characters other than ' ' starting at `pos`.
bool takeField(std::string_view line, size_t& pos, std::string_view& field)
{
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ')
        ++pos;
    if (pos == start)
        return false;
    field = line.substr(start, pos - start);
    return true;
}

void skipSpace(std::string_view line, size_t& pos)
{
    while (pos < line.size() && isSpace(line[pos]))
        ++pos;
}

} // namespace

bool parseProcI2cLine(std::string_view line, ProcI2cLine& out)
{
    const size_t last = line.rfind('\t');
    if (last == std::string_view::npos || last == 0)
        return false;
    const size_t middle = line.rfind('\t', last - 1);
    if (middle == std::string_view::npos || middle == 0)
        return false;
    const size_t first = line.rfind('\t', middle - 1);
    if (first == std::string_view::npos)
        return false;
    int bus = -1;
    if (!parseI2cDevName(line, bus))
        return false;
    out.busNumber = bus;
    out.functionality = trimTrailing(line.substr(first + 1, middle - first - 1));
    out.name = trimTrailing(line.substr(middle + 1, last - middle - 1));
    out.algorithm = trimTrailing(line.substr(last + 1));
    return true;
}

bool parseMountsLine(std::string_view line, std::string_view& mountPoint, std::string_view& type)
{
    size_t pos = 0;
    std::string_view device, point, fsType;
    if (!takeField(line, pos, device))
        return false;
    skipSpace(line, pos);
    if (!takeField(line, pos, point))
        return false;
    skipSpace(line, pos);
    if (!takeField(line, pos, fsType))
        return false;
    mountPoint = point;
    type = fsType;
    return true;
}

bool parseI2cDevName(std::string_view name, int& bus)
{
    constexpr std::string_view prefix = "i2c-";
    if (name.substr(0, prefix.size()) != prefix)
        return false;
    size_t pos = prefix.size();
    if (pos >= name.size() || name[pos] < '0' || name[pos] > '9')
        return false;
    long long value = 0;
    for (; pos < name.size() && name[pos] >= '0' && name[pos] <= '9'; ++pos) {
        value = value * 10 + (name[pos] - '0');
        if (value > INT_MAX)
            return false;
    }
    bus = static_cast<int>(value);
    return true;
}

bool busTextFromEntityName(std::string_view name, char (&bus)[busTextSize])
{
    const size_t space = name.find(' ');
    if (space == std::string_view::npos)
        return false;
    std::string_view text = name.substr(space + 1, 7);
    const size_t dash = text.find('-');
    if (dash != std::string_view::npos)
        text = text.substr(0, dash);
    std::memcpy(bus, text.data(), text.size());
    bus[text.size()] = '\0';
    return true;
}

bool busTextFromSysfsName(std::string_view line, std::string_view match, char (&bus)[busTextSize])
{
    const size_t found = line.find(match);
    if (found == std::string_view::npos)
        return false;
    bus[0] = '\0';
    const size_t space = line.find(' ', found);
    if (space == std::string_view::npos)
        return true;
    size_t n = 0;
    for (size_t pos = space + 1; pos < line.size() && n < busTextSize - 1; ++pos, ++n) {
        if (line[pos] < '0' || line[pos] > '9')
            break;
        bus[n] = line[pos];
    }
    bus[n] = '\0';
    return true;
}

bool subdevNodeFromLink(std::string_view target, std::string_view& component)
{
    constexpr std::string_view prefix = "/v4l-subdev";
    const size_t slash = target.rfind('/');
    if (slash == std::string_view::npos)
        return false;
    const std::string_view last = target.substr(slash);
    if (last.substr(0, prefix.size()) != prefix)
        return false;
    component = last;
    return true;
}

} // namespace Quorvex
