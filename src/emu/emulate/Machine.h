// The emulated machine that quorvel-emulate sets up: its USB chips on an
// emulated usbfs, its displays' buses and chips, and the beds serving them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "emu/AuxChip.h"
#include "emu/AuxUmockdev.h"
#include "emu/UmockdevUsb.h"
#include "emu/UsbChip.h"
#include "emu/emulate/Options.h"

namespace quorvel::emu::emulate {

// One emulated USB chip on the bus and what it takes to serve it.
struct UsbSlot {
    UsbDeviceConfig config;
    std::shared_ptr<UsbChip> chip;
    UsbDeviceSpec spec;
    bool plugged = false;
};

struct Machine {
    static constexpr uint32_t kSmbus = 0;  // the bus number of the chipset's SMBus

    std::unique_ptr<UmockdevUsbBed> usbBed;
    std::unique_ptr<AuxUmockdevDisplays> displayBed;
    std::vector<UsbSlot> usb;
    std::vector<std::shared_ptr<AuxChip>> auxChips;  // one per display, in --display order
    std::vector<bool> auxChipOnBus;                  // whether that chip answers on a bus of its own
    std::vector<uint32_t> busOrder;                  // the display buses, in the order first named
    std::vector<std::pair<size_t, std::shared_ptr<AuxDdcMonitor>>> monitors;  // display index, monitor
};

}  // namespace quorvel::emu::emulate
