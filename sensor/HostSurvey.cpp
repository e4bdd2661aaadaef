#include "sensor/HostSurvey.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/videodev2.h>

#include "sensor/KernelAccess.h"
#include "sensor/UniqueFd.h"
#include "sensor/V4l2Helpers.h"

namespace Quorvex {

namespace {

constexpr uint16_t kChipAddress = 0x0C;
// Media graphs hold a few dozen entities; a driver that never ends the
// enumeration must not keep the survey here.
constexpr int kMaxEntities = 256;

std::string fixedText(const void* bytes, size_t size)
{
    const char* p = static_cast<const char*>(bytes);
    return std::string(p, strnlen(p, size));
}

std::string trimmed(const char* line)
{
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0'))
        s.pop_back();
    return s;
}

// "<bus>-000c" anywhere in a name (the kernel's name of an I2C client at
// 0x0C): the bus number, or -1.
int busOfClientName(std::string_view name)
{
    const size_t at = name.find("-000c");
    if (at == std::string_view::npos || at == 0)
        return -1;
    size_t begin = at;
    while (begin > 0 && name[begin - 1] >= '0' && name[begin - 1] <= '9')
        --begin;
    if (begin == at || at - begin > 6)
        return -1;
    return std::atoi(std::string(name.substr(begin, at - begin)).c_str());
}

// The name file of a character device in sysfs, "" when there is none.
std::string sysfsName(const struct stat& st)
{
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/name", major(st.st_rdev), minor(st.st_rdev));
    char line[128];
    return readFileLine(path, line, sizeof line) < 0 ? std::string() : trimmed(line);
}

bool isNumbered(const std::string& name, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) != 0 || name.size() == n)
        return false;
    for (size_t i = n; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

void describeCapture(int fd, SurveyNode& node)
{
    v4l2_capability caps{};
    if (ioctlRetry(fd, VIDIOC_QUERYCAP, &caps) == 0) {
        node.driver = fixedText(caps.driver, sizeof caps.driver);
        node.card = fixedText(caps.card, sizeof caps.card);
    }
}

void describeMedia(int fd, SurveyNode& node, HostSurvey& survey)
{
    media_device_info info{};
    if (ioctlRetry(fd, MEDIA_IOC_DEVICE_INFO, &info) == 0) {
        node.driver = fixedText(info.driver, sizeof info.driver);
        node.card = fixedText(info.model, sizeof info.model);
    }
    media_entity_desc desc{};
    desc.id = MEDIA_ENT_ID_FLAG_NEXT;
    uint32_t previous = 0;
    for (int i = 0; i < kMaxEntities && ioctlRetry(fd, MEDIA_IOC_ENUM_ENTITIES, &desc) == 0; ++i) {
        const std::string name = fixedText(desc.name, sizeof desc.name);
        const int bus = busOfClientName(name);
        if (bus >= 0 && survey.moduleBus < 0) {
            survey.moduleBus = bus;
            survey.moduleBusSource = node.path + " entity \"" + name + "\"";
        }
        if (desc.id <= previous && previous != 0)
            break;
        previous = desc.id;
        desc.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
}

void probeChip(HostSurvey& survey)
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/i2c-%d", survey.moduleBus);
    UniqueFd fd(kernel().open(path, O_RDWR));
    if (!fd.isValid())
        return;
    // One byte read from the chip's current register: no register pointer
    // is written, so the controller's state is left as it was.
    uint8_t byte = 0;
    i2c_msg message{kChipAddress, I2C_M_RD, 1, &byte};
    i2c_rdwr_ioctl_data transfer{&message, 1};
    if (ioctlOnce(fd.get(), I2C_RDWR, &transfer) >= 1) {
        survey.chipAnswers = 1;
    } else {
        survey.chipAnswers = 0;
        survey.chipError = errno;
    }
}

} // namespace

HostSurvey surveyHost()
{
    HostSurvey survey;
    char model[128];
    if (readFileLine("/sys/firmware/devicetree/base/model", model, sizeof model) >= 0)
        survey.model = trimmed(model);
    survey.board = detectBoard();

    std::vector<std::string> names;
    if (kernel().listDirectory("/dev", names) < 0)
        names.clear();
    // Listing order is the file system's; the report reads better in order.
    std::vector<std::string> ordered;
    for (const char* prefix : {"video", "v4l-subdev", "media", "i2c-"})
        for (const std::string& name : names)
            if (isNumbered(name, prefix))
                ordered.push_back(name);

    for (const std::string& name : ordered) {
        SurveyNode node;
        node.path = "/dev/" + name;
        node.kind = isNumbered(name, "video")        ? "capture"
                    : isNumbered(name, "v4l-subdev") ? "subdev"
                    : isNumbered(name, "media")      ? "media"
                                                     : "i2c";
        struct stat st;
        if (kernel().stat(node.path.c_str(), &st) < 0 || !S_ISCHR(st.st_mode))
            continue;
        node.mode = st.st_mode;
        node.gid = st.st_gid;
        const std::string sysName = sysfsName(st);
        node.card = sysName;
        if ((node.kind == "capture" || node.kind == "subdev") && survey.moduleBus < 0) {
            // A Jetson names the module's client in the capture node's name,
            // a media-controller board in the module's sub-device name.
            const int bus = busOfClientName(sysName);
            if (bus >= 0) {
                survey.moduleBus = bus;
                survey.moduleBusSource = node.path + " name \"" + sysName + "\"";
            }
        }
        UniqueFd fd(kernel().open(node.path.c_str(), O_RDWR));
        if (!fd.isValid()) {
            node.openError = errno;
        } else if (node.kind == "capture") {
            describeCapture(fd.get(), node);
        } else if (node.kind == "media") {
            describeMedia(fd.get(), node, survey);
        }
        survey.nodes.push_back(node);
    }

    if (const auto adapters = gatherI2cAdapters()) {
        for (SurveyNode& node : survey.nodes) {
            if (node.kind != "i2c")
                continue;
            const int bus = std::atoi(node.path.c_str() + std::strlen("/dev/i2c-"));
            for (const I2cAdapterRecord& a : *adapters)
                if (a.busNumber == bus)
                    node.card = a.name;
        }
    }
    if (survey.moduleBus < 0) {
        // A client the device tree declared, bound to a driver or not.
        std::vector<std::string> clients;
        if (kernel().listDirectory("/sys/bus/i2c/devices", clients) == 0)
            for (const std::string& c : clients)
                if (survey.moduleBus < 0 && busOfClientName(c) >= 0 && c.size() > 5 &&
                    c.compare(c.size() - 5, 5, "-000c") == 0) {
                    survey.moduleBus = busOfClientName(c);
                    survey.moduleBusSource = "/sys/bus/i2c/devices/" + c;
                }
    }
    if (survey.moduleBus >= 0)
        probeChip(survey);
    return survey;
}

} // namespace Quorvex
