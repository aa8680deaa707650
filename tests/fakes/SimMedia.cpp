#include "tests/fakes/SimMedia.h"

#include <cerrno>
#include <cstring>

#include "sensor/csi/V4l2Compat.h"

namespace Norvane {
namespace sim {

SimMediaDevice::SimMediaDevice() { charDevice = true; }

uint32_t SimMediaDevice::addEntity(const std::string& name, uint32_t type, uint32_t major, uint32_t minor,
                                   uint16_t pads) {
    std::lock_guard<std::mutex> lock(m);
    uint32_t id = uint32_t(entities.size()) + 1;
    entities.push_back(Entity{id, name, type, major, minor, pads});
    return id;
}

void SimMediaDevice::addLink(uint32_t source, uint16_t sourcePad, uint32_t sink, uint16_t sinkPad, uint32_t flags) {
    std::lock_guard<std::mutex> lock(m);
    linkTable.push_back(Link{source, sourcePad, sink, sinkPad, flags});
}

uint32_t SimMediaDevice::entityId(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m);
    for (auto& e : entities)
        if (e.name == name) return e.id;
    return 0;
}

int SimMediaDevice::ioctl(unsigned long request, void* arg) {
    if (!arg) return -EFAULT;
    std::lock_guard<std::mutex> lock(m);
    switch (request) {
        case MEDIA_IOC_ENUM_ENTITIES: {
            auto* d = static_cast<media_entity_desc*>(arg);
            const Entity* found = enumeratedEntity(entities, d->id);
            if (!found) return -EINVAL;
            std::memset(d, 0, sizeof *d);
            d->id = found->id;
            std::strncpy(d->name, found->name.c_str(), sizeof d->name - 1);
            d->type = found->type;
            d->pads = found->pads;
            uint16_t links = 0;
            for (auto& l : linkTable)
                if (l.sourceEntity == found->id) ++links;
            d->links = links;
            d->dev.major = found->major;
            d->dev.minor = found->minor;
            return 0;
        }
        case MEDIA_IOC_ENUM_LINKS: {
            // As Linux lists them: every link once, at its source entity.
            auto* e = static_cast<media_links_enum*>(arg);
            const Entity* found = nullptr;
            for (auto& en : entities)
                if (en.id == e->entity) found = &en;
            if (!found) return -EINVAL;
            if (e->pads)
                for (uint16_t p = 0; p < found->pads; ++p) {
                    std::memset(&e->pads[p], 0, sizeof e->pads[p]);
                    e->pads[p].entity = found->id;
                    e->pads[p].index = p;
                }
            if (e->links) {
                size_t n = 0;
                for (auto& l : linkTable) {
                    if (l.sourceEntity != found->id) continue;
                    media_link_desc& d = e->links[n++];
                    std::memset(&d, 0, sizeof d);
                    d.source = {l.sourceEntity, l.sourcePad, MEDIA_PAD_FL_SOURCE, {}};
                    d.sink = {l.sinkEntity, l.sinkPad, MEDIA_PAD_FL_SINK, {}};
                    d.flags = l.flags;
                }
            }
            return 0;
        }
        case MEDIA_IOC_SETUP_LINK: {
            auto* l = static_cast<media_link_desc*>(arg);
            setupLog.push_back(Setup{l->source.entity, l->source.index, l->source.flags, l->sink.entity, l->sink.index,
                                     l->sink.flags, l->flags});
            const Entity* source = nullptr;
            const Entity* sink = nullptr;
            for (auto& e : entities) {
                if (e.id == l->source.entity) source = &e;
                if (e.id == l->sink.entity) sink = &e;
            }
            if (!source || !sink || l->source.index >= source->pads || l->sink.index >= sink->pads) return -EINVAL;
            for (auto& link : linkTable) {
                if (link.sourceEntity != source->id || link.sourcePad != l->source.index ||
                    link.sinkEntity != sink->id || link.sinkPad != l->sink.index)
                    continue;
                if ((link.flags & MEDIA_LNK_FL_IMMUTABLE) &&
                    (link.flags & MEDIA_LNK_FL_ENABLED) != (l->flags & MEDIA_LNK_FL_ENABLED))
                    return -EINVAL;
                link.flags = (link.flags & ~MEDIA_LNK_FL_ENABLED) | (l->flags & MEDIA_LNK_FL_ENABLED);
                return 0;
            }
            return -EINVAL;
        }
        default:
            return -ENOTTY;
    }
}

std::vector<SimMediaDevice::Link> SimMediaDevice::links() const {
    std::lock_guard<std::mutex> lock(m);
    return linkTable;
}

std::vector<SimMediaDevice::Setup> SimMediaDevice::setups() const {
    std::lock_guard<std::mutex> lock(m);
    return setupLog;
}

}  // namespace sim
}  // namespace Norvane
