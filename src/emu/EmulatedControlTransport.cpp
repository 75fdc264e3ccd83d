#include "emu/EmulatedControlTransport.h"

namespace quorvel::emu {

int32_t toLibusbCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok: return 0;
    case Outcome::TransferError: return kLibusbErrorIo;
    case Outcome::Stall: return kLibusbErrorPipe;
    case Outcome::Timeout: return kLibusbErrorTimeout;
    case Outcome::NoDevice: return kLibusbErrorNoDevice;
    }
    return kLibusbErrorIo;
}

EmulatedControlTransport::EmulatedControlTransport(std::shared_ptr<UsbChip> chip) : chip_(std::move(chip)) {}

int32_t EmulatedControlTransport::controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) {
    const auto result = chip_->handle(setup, data);
    // As the platform reports it: an OUT transfer cut short fails.
    if (result.outcome == Outcome::Ok && (setup.bmRequestType & 0x80) == 0 && result.transferred < setup.wLength)
        return kShortOutTransfer;
    return toLibusbCode(result.outcome);
}

USBDevice makeEmulatedDevice(std::shared_ptr<UsbChip> chip, uint64_t id) {
    USBDevice device;
    device.id = id;
    device.vendorId = chip->options().vendorId;
    device.productId = chip->options().productId;
    device.name = chip->options().name.substr(0, 127);
    device.deviceInterfacePtrPtr = std::make_shared<EmulatedControlTransport>(std::move(chip));
    return device;
}

}  // namespace quorvel::emu
