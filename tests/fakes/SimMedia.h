// A simulated media controller node ("/dev/mediaN"): entities with names and
// device numbers, and links between their pads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sensor/csi/V4l2Compat.h"
#include "tests/fakes/SimKernel.h"

namespace Norvane {
namespace sim {

// The entity MEDIA_IOC_ENUM_ENTITIES answers for `id`, as the kernel picks
// it: with MEDIA_ENT_ID_FLAG_NEXT the lowest id above the one given, else
// the entity of that id. Null when there is none.
template <class Entity>
const Entity* enumeratedEntity(const std::vector<Entity>& entities, uint32_t id) {
    const Entity* found = nullptr;
    if (id & MEDIA_ENT_ID_FLAG_NEXT) {
        id &= ~MEDIA_ENT_ID_FLAG_NEXT;
        for (auto& e : entities)
            if (e.id > id && (!found || e.id < found->id)) found = &e;
    } else {
        for (auto& e : entities)
            if (e.id == id) found = &e;
    }
    return found;
}

class SimMediaDevice : public SimNode {
public:
    struct Entity {
        uint32_t id;
        std::string name;
        uint32_t type;
        uint32_t major, minor;
        uint16_t pads;
    };
    struct Link {
        uint32_t sourceEntity;
        uint16_t sourcePad;
        uint32_t sinkEntity;
        uint16_t sinkPad;
        uint32_t flags;
    };
    // A MEDIA_IOC_SETUP_LINK request as the device received it.
    struct Setup {
        uint32_t sourceEntity, sourcePad, sourceFlags;
        uint32_t sinkEntity, sinkPad, sinkFlags;
        uint32_t flags;
    };

    SimMediaDevice();

    // Entities get ids 1, 2, ... in the order added. Returns the id.
    uint32_t addEntity(const std::string& name, uint32_t type, uint32_t major, uint32_t minor, uint16_t pads = 1);
    void addLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad, uint32_t flags = 0);
    uint32_t entityId(const std::string& name) const;

    int ioctl(unsigned long request, void* arg) override;

    std::vector<Link> links() const;
    std::vector<Setup> setups() const;

private:
    mutable std::mutex m;
    std::vector<Entity> entities;
    std::vector<Link> linkTable;
    std::vector<Setup> setupLog;
};

}  // namespace sim
}  // namespace Norvane
