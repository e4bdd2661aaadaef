#include "SimMediaDevice.h"

#include <cstdio>
#include <cstring>

#include <linux/media.h>

namespace Quorvex::Sim {

uint32_t SimMediaDevice::addEntity(const std::string& name, uint32_t major, uint32_t minor, uint16_t pads,
                                   uint32_t function)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t id = nextId_;
    nextId_ += 1u + pads;
    entities_.push_back({id, name, function, major, minor, pads});
    return id;
}

void SimMediaDevice::addLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad,
                             uint32_t flags)
{
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back({source, sourcePad, sink, sinkPad, flags});
    nextId_ += 1;
}

int64_t SimMediaDevice::linkFlags(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Link& l : links_)
        if (l.source == source && l.sourcePad == sourcePad && l.sink == sink && l.sinkPad == sinkPad)
            return l.flags;
    return -1;
}

std::vector<SimMediaDevice::Entity> SimMediaDevice::entities() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entities_;
}

const SimMediaDevice::Entity* SimMediaDevice::findEntity(uint32_t id) const
{
    for (const Entity& e : entities_)
        if (e.id == id)
            return &e;
    return nullptr;
}

void SimMediaDevice::setDeviceInfo(const std::string& driver, const std::string& model)
{
    std::lock_guard<std::mutex> lock(mutex_);
    driver_ = driver;
    model_ = model;
}

int SimMediaDevice::ioctl(SimOpenFile&, unsigned long request, void* arg)
{
    if (!arg)
        return -EFAULT;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request) {
    case MEDIA_IOC_DEVICE_INFO:
        return deviceInfo(arg);
    case MEDIA_IOC_ENUM_ENTITIES:
        return enumEntity(arg);
    case MEDIA_IOC_SETUP_LINK:
        return setupLink(arg);
    default:
        return -ENOTTY;
    }
}

int SimMediaDevice::deviceInfo(void* arg) const
{
    auto* info = static_cast<media_device_info*>(arg);
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->driver, driver_.c_str(), sizeof info->driver - 1);
    std::strncpy(info->model, model_.c_str(), sizeof info->model - 1);
    std::snprintf(info->bus_info, sizeof info->bus_info, "platform:%s", driver_.c_str());
    // The kernel reports its own version for both (6.1 here).
    info->media_version = (6u << 16) | (1u << 8);
    info->driver_version = info->media_version;
    return 0;
}

int SimMediaDevice::enumEntity(void* arg) const
{
    auto* desc = static_cast<media_entity_desc*>(arg);
    const Entity* found = nullptr;
    if (desc->id & MEDIA_ENT_ID_FLAG_NEXT) {
        const uint32_t after = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
        for (const Entity& e : entities_)
            if (e.id > after && (!found || e.id < found->id))
                found = &e;
    } else {
        found = findEntity(desc->id);
    }
    if (!found)
        return -EINVAL;
    std::memset(desc, 0, sizeof *desc);
    desc->id = found->id;
    // The kernel copies at most 31 characters of a name.
    std::strncpy(desc->name, found->name.c_str(), sizeof desc->name - 1);
    desc->type = found->function;
    desc->pads = found->pads;
    uint16_t links = 0;
    for (const Link& l : links_)
        if (l.source == found->id)
            ++links;
    desc->links = links;
    desc->dev.major = found->major;
    desc->dev.minor = found->minor;
    return 0;
}

int SimMediaDevice::setupLink(void* arg)
{
    auto* desc = static_cast<media_link_desc*>(arg);
    const Entity* source = findEntity(desc->source.entity);
    const Entity* sink = findEntity(desc->sink.entity);
    if (!source || !sink || desc->source.index >= source->pads || desc->sink.index >= sink->pads)
        return -EINVAL;
    for (Link& l : links_) {
        if (l.source != source->id || l.sourcePad != desc->source.index || l.sink != sink->id ||
            l.sinkPad != desc->sink.index)
            continue;
        const bool enable = desc->flags & MEDIA_LNK_FL_ENABLED;
        if (l.flags & MEDIA_LNK_FL_IMMUTABLE)
            return enable ? 0 : -EINVAL;
        l.flags = enable ? (l.flags | MEDIA_LNK_FL_ENABLED) : (l.flags & ~MEDIA_LNK_FL_ENABLED);
        return 0;
    }
    return -EINVAL;
}

} // namespace Quorvex::Sim
