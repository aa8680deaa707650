// Chief header of the Norvane depth-camera library: everything a C++ user
// needs to drive a camera and read its frames.
#pragma once

#include "core/NorvaneTypes.h"
#include "sensor/Platform.h"
