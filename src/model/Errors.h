// Failures the engines throw; the code that catches chooses the words.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quorvel {

class Errors {
public:
    class USBDeviceError : public std::exception {
    public:
        enum class Kind { RequestError, DeviceInterfaceNotFound };

        static USBDeviceError RequestError(std::string desc) {
            return USBDeviceError(Kind::RequestError, std::move(desc));
        }
        static USBDeviceError DeviceInterfaceNotFound() {
            return USBDeviceError(Kind::DeviceInterfaceNotFound, {});
        }
        // The request error of every USB request but the register write.
        static USBDeviceError requestFailed(int32_t status);
        // The register write's own text, with its blank inside "status".
        static USBDeviceError writeRequestFailed(int32_t status);

        Kind kind() const { return kind_; }
        const std::string& desc() const { return desc_; }
        const char* what() const noexcept override;
        bool operator==(const USBDeviceError& other) const {
            return kind_ == other.kind_ && desc_ == other.desc_;
        }

    private:
        USBDeviceError(Kind kind, std::string desc) : kind_(kind), desc_(std::move(desc)) {}
        Kind kind_;
        std::string desc_;
    };

    class customErrors : public std::exception {
    public:
        enum class Kind { USBUpgradeError, AUXUpgradeError, readChipIDError };
        static const customErrors USBUpgradeError;
        static const customErrors AUXUpgradeError;
        static const customErrors readChipIDError;

        explicit customErrors(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        const char* what() const noexcept override;
        bool operator==(const customErrors& other) const { return kind_ == other.kind_; }

    private:
        Kind kind_;
    };
};

inline const Errors::customErrors Errors::customErrors::USBUpgradeError{Kind::USBUpgradeError};
inline const Errors::customErrors Errors::customErrors::AUXUpgradeError{Kind::AUXUpgradeError};
inline const Errors::customErrors Errors::customErrors::readChipIDError{Kind::readChipIDError};

}  // namespace quorvel
