#include "core/NorvaneTypes.h"

namespace Norvane {

const char* to_str(TofErrorCode code) {
    switch (static_cast<int32_t>(code)) {
        case NorvaneSuccess: return "Success";
        case NorvaneInvalidParameter: return "Invalid parameter";
        case NorvaneNoCache: return "No cache";
        case NorvaneUnkownDevice: return "Unkown device";
        case NorvaneNotImplemented: return "Not implemented";
        case NorvaneSkipFrame: return "Skip frame";
        case NorvaneSystemError: return "System error";
        default: return "Unknown error";
    }
}

}  // namespace Norvane
