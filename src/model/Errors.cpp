#include "model/Errors.h"

namespace quorvel {

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
