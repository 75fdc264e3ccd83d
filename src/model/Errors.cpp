#include "model/Errors.h"

#include <cstring>

#include "model/Hex.h"

namespace quorvel {

std::string FailureCause::describe() const {
    if (step.empty()) return detail;
    if (detail.empty()) return step;
    return step + ": " + detail;
}

FailureCause FailureCause::within(const std::string& context) const {
    FailureCause outer = *this;
    outer.step = step.empty() ? context : context + ": " + step;
    return outer;
}

std::string FailureCause::errnoCode(int error) {
    return "errno " + std::to_string(error) + " (" + std::strerror(error) + ")";
}

std::string FailureCause::refusedPacket(std::span<const uint8_t> packet) {
    return "NAK of " + hexBytes(packet, " ", HexCase::lower);
}

FailureCause causeOf(const std::exception& error) {
    if (const auto* usb = dynamic_cast<const Errors::USBDeviceError*>(&error); usb && usb->cause())
        return *usb->cause();
    if (const auto* custom = dynamic_cast<const Errors::customErrors*>(&error); custom && custom->cause())
        return *custom->cause();
    return {{}, error.what()};
}

Errors::USBDeviceError Errors::USBDeviceError::requestFailed(int32_t status) {
    return RequestError("Get device status request error: " + std::to_string(status));
}

Errors::USBDeviceError Errors::USBDeviceError::writeRequestFailed(int32_t status) {
    return RequestError("Get device statu s request error: " + std::to_string(status));
}

const char* Errors::USBDeviceError::what() const noexcept {
    return kind_ == Kind::RequestError ? desc_.c_str() : "DeviceInterfaceNotFound";
}

const char* Errors::customErrors::what() const noexcept {
    switch (kind_) {
    case Kind::USBUpgradeError: return "USBUpgradeError";
    case Kind::AUXUpgradeError: return "AUXUpgradeError";
    case Kind::readChipIDError: return "readChipIDError";
    }
    return "customErrors";
}

}  // namespace quorvel
