// The control-transfer seam served in-process by a chip model, so that the
// USB engine and the command-line flows run against it without a USB stack.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "emu/UsbChip.h"
#include "usb/USBDevice.h"

namespace quorvel::emu {

// libusb's codes for the failures the chip model produces; the engine prints
// them as the platform result, as it would for a real device.
inline constexpr int32_t kLibusbErrorIo = -1;
inline constexpr int32_t kLibusbErrorNoDevice = -4;
inline constexpr int32_t kLibusbErrorTimeout = -7;
inline constexpr int32_t kLibusbErrorPipe = -9;

int32_t toLibusbCode(Outcome outcome);

class EmulatedControlTransport : public ControlTransport {
public:
    explicit EmulatedControlTransport(std::shared_ptr<UsbChip> chip);
    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override;
    const std::shared_ptr<UsbChip>& chip() const { return chip_; }

private:
    std::shared_ptr<UsbChip> chip_;
};

// The record a device monitor would announce for this chip, its interface
// served by the chip model.
USBDevice makeEmulatedDevice(std::shared_ptr<UsbChip> chip, uint64_t id = 1);

}  // namespace quorvel::emu
