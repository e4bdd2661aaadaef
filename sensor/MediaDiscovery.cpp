#include "MediaDiscovery.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include <linux/media.h>

#include "sensor/KernelAccess.h"
#include "sensor/KernelText.h"
#include "sensor/UniqueFd.h"
#include "sensor/V4l2Helpers.h"

namespace Quorvex {

namespace {

constexpr uint8_t maxSubdevices = 4;
// An id no entity has: the link request that carries it is refused.
constexpr uint32_t unknownEntity = 0xFFFFFFFF;

// The kernel fills all 32 bytes of a long name without a terminator.
std::string_view entityName(const media_entity_desc& desc)
{
    return std::string_view(desc.name, strnlen(desc.name, sizeof desc.name));
}

// Enumerates from the first entity until one is named exactly `name`. The
// enumeration is not retried: a failure, the end of the list included, is
// reported and yields an id that no link matches.
uint32_t findEntity(int mediaFd, const char* name)
{
    media_entity_desc desc{};
    desc.id = MEDIA_ENT_ID_FLAG_NEXT;
    uint32_t previous = 0;
    for (;;) {
        if (ioctlOnce(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &desc) < 0) {
            std::perror("Query entity failed");
            return unknownEntity;
        }
        if (entityName(desc) == name)
            return desc.id;
        // Ids ascend; a driver that repeats one would keep us here forever.
        if (desc.id <= previous && previous != 0)
            return unknownEntity;
        previous = desc.id;
        desc.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
}

// Opens the V4L2 sub-device behind the character device M:N and appends it
// to subdevFds. False ends the discovery: the sysfs link names no
// sub-device, the node does not open, or all four entries are taken.
// `report`: say which (the module's own sub-device).
bool openSubdevice(CsiPipeline& state, uint32_t major, uint32_t minor, bool report = false)
{
    KernelAccess& k = kernel();
    char linkPath[48];
    std::snprintf(linkPath, sizeof linkPath, "/sys/dev/char/%u:%u", major, minor);
    char target[256];
    const ssize_t length = k.readlink(linkPath, target, sizeof target - 1);
    std::string_view node;
    if (length < 0 || !subdevNodeFromLink(std::string_view(target, static_cast<size_t>(length)), node)) {
        if (report)
            std::fprintf(stderr, "Error: the module's sub-device %u:%u has no device node\n", major, minor);
        return false;
    }
    char devPath[sizeof target + 4];
    std::snprintf(devPath, sizeof devPath, "/dev%.*s", static_cast<int>(node.size()), node.data());
    UniqueFd fd(k.open(devPath, O_RDWR));
    if (!fd.isValid()) {
        if (report)
            std::fprintf(stderr, "Error: cannot open the module's sub-device %s: %s\n", devPath,
                         std::strerror(errno));
        return false;
    }
    if (state.subdevCount >= maxSubdevices) {
        if (report)
            std::fprintf(stderr, "Error: no room for the module's sub-device %s\n", devPath);
        return false;
    }
    state.subdevFds[state.subdevCount++] = fd.release();
    return true;
}

} // namespace

bool discoverMediaPipeline(CsiPipeline& state, int videoFd, const MediaPipelineRule& rule)
{
    KernelAccess& k = kernel();
    struct stat st;
    if (k.fstat(videoFd, &st) < 0 || !S_ISCHR(st.st_mode))
        return true;

    // The capture node's parent device lists the media device it belongs to.
    char dirPath[64];
    std::snprintf(dirPath, sizeof dirPath, "/sys/dev/char/%u:%u/device", major(st.st_rdev), minor(st.st_rdev));
    std::vector<std::string> entries;
    if (k.listDirectory(dirPath, entries) < 0 || entries.empty())
        return true;

    // The listing is unsorted; walking it backwards is the order this driver
    // has always used, and a media node that does not open is passed over.
    UniqueFd media;
    for (auto entry = entries.rbegin(); entry != entries.rend() && !media.isValid(); ++entry) {
        if (entry->compare(0, 5, "media") != 0)
            continue;
        char path[sizeof state.mediaPath];
        const int n = std::snprintf(path, sizeof path, "/dev/%s", entry->c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof path)
            return true;
        media.reset(k.open(path, O_RDWR));
        if (media.isValid())
            std::memcpy(state.mediaPath, path, static_cast<size_t>(n) + 1);
    }
    if (!media.isValid())
        return true;

    if (const MediaLinkRule* link = rule.receiverLink) {
        media_link_desc desc{};
        desc.source.entity = findEntity(media.get(), link->sourceEntity);
        desc.source.index = link->sourcePad;
        desc.source.flags = MEDIA_PAD_FL_SOURCE;
        desc.sink.entity = findEntity(media.get(), link->sinkEntity);
        desc.sink.index = link->sinkPad;
        desc.sink.flags = MEDIA_PAD_FL_SINK;
        desc.flags = MEDIA_LNK_FL_ENABLED;
        if (ioctlOnce(media.get(), MEDIA_IOC_SETUP_LINK, &desc) < 0)
            return true;
    }

    // Bridge sub-devices come before the module's; the module entity ends the
    // walk. EINVAL is the end of the list, and any other failure ends it too.
    media_entity_desc desc{};
    desc.id = MEDIA_ENT_ID_FLAG_NEXT;
    uint32_t previous = 0;
    while (ioctlRetry(media.get(), MEDIA_IOC_ENUM_ENTITIES, &desc) == 0) {
        const std::string_view name = entityName(desc);
        if (rule.bridgeEntity && name == rule.bridgeEntity) {
            if (!openSubdevice(state, desc.dev.major, desc.dev.minor))
                return true;
        } else if (rule.moduleEntity && name.find(rule.moduleEntity) != std::string_view::npos) {
            if (!busTextFromEntityName(name, state.i2cBus))
                return true;
            const uint8_t index = state.subdevCount;
            if (!openSubdevice(state, desc.dev.major, desc.dev.minor, true))
                return false;
            state.sensorSubdevIndex = index;
            return true;
        }
        if (desc.id <= previous && previous != 0)
            return true;
        previous = desc.id;
        desc.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    return true;
}

TofErrorCode discoverBusFromSysfsName(CsiPipeline& state, int videoFd, const char* moduleName)
{
    struct stat st;
    if (kernel().fstat(videoFd, &st) < 0 || !S_ISCHR(st.st_mode))
        return QuorvexSystemError;
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/name", major(st.st_rdev), minor(st.st_rdev));
    char line[256];
    if (readFileLine(path, line, sizeof line) <= 0)
        return QuorvexSystemError;
    if (!busTextFromSysfsName(std::string_view(line, std::strlen(line)), moduleName, state.i2cBus))
        return QuorvexSystemError;
    return QuorvexSuccess;
}

} // namespace Quorvex
