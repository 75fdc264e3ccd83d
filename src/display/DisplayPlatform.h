// The platform seams of the display road, bundled so that a program or a
// test can swap all of them at once: the Linux ones by default, the chip
// model's in tests and in the emulator.
#pragma once

#include <memory>

#include "display/DisplaySource.h"
#include "display/I2CBus.h"

namespace quorvel {

class IORegistry;

struct DisplayPlatform {
    std::shared_ptr<DisplaySource> displays;
    std::shared_ptr<I2CBusProvider> buses;
    std::shared_ptr<IORegistry> registry;  // only consulted when Arm64DDC::isArm64
};

// DRM sysfs, i2c-dev and an empty registry.
DisplayPlatform linuxDisplayPlatform();

// The process's platform (Linux unless replaced). Returned by value: a
// replacement never pulls a seam from under a running transfer.
DisplayPlatform displayPlatform();
DisplayPlatform setDisplayPlatform(DisplayPlatform replacement);

}  // namespace quorvel
