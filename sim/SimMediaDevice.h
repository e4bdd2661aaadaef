#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimDeviceNode.h"

namespace Quorvex::Sim {

// A media controller device: entities with pads and the links between them.
// Answers MEDIA_IOC_DEVICE_INFO (which every media device answers),
// MEDIA_IOC_ENUM_ENTITIES (exact id, or the next id with
// MEDIA_ENT_ID_FLAG_NEXT; EINVAL past the last entity) and
// MEDIA_IOC_SETUP_LINK (EINVAL for unknown entities, pads or links, and for
// an attempt to change an immutable link).
class SimMediaDevice final : public SimDeviceNode {
public:
    struct Entity {
        uint32_t id;
        std::string name;
        uint32_t function;
        uint32_t major;
        uint32_t minor;
        uint16_t pads;
    };
    struct Link {
        uint32_t source;
        uint16_t sourcePad;
        uint32_t sink;
        uint16_t sinkPad;
        uint32_t flags;
    };

    // Adds an entity; ids ascend in the order of creation, with gaps (the
    // kernel numbers pads and links from the same counter). Returns the id.
    uint32_t addEntity(const std::string& name, uint32_t major, uint32_t minor, uint16_t pads,
                       uint32_t function = 0);
    void addLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad, uint32_t flags);
    // Flags of a link, or -1 when there is no such link.
    int64_t linkFlags(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad) const;
    std::vector<Entity> entities() const;
    // What MEDIA_IOC_DEVICE_INFO reports as the driver and the model.
    void setDeviceInfo(const std::string& driver, const std::string& model);

    int ioctl(SimOpenFile&, unsigned long request, void* arg) override;

private:
    int deviceInfo(void* arg) const;
    int enumEntity(void* arg) const;
    int setupLink(void* arg);
    const Entity* findEntity(uint32_t id) const;

    mutable std::mutex mutex_;
    std::vector<Entity> entities_;
    std::vector<Link> links_;
    uint32_t nextId_ = 1;
    std::string driver_ = "quorvex-sim";
    std::string model_ = "Simulated media device";
};

} // namespace Quorvex::Sim
