// Failures the engines throw; the code that catches chooses the words.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>

namespace quorvel {

// Why a step failed, kept beneath the kinds the user sees: what was being
// done and what the platform or the chip answered. Only diagnostic lines
// (stdout's engine lines, the log) print it.
struct FailureCause {
    std::string step;    // "RamWrite frame 12 of 512", "flash packet 3"
    std::string detail;  // "LIBUSB_ERROR_PIPE (-9)", "errno 121 (Remote I/O error)", "NAK of 6e 51 ..."

    // "step: detail", or whichever of the two is known.
    std::string describe() const;
    // A context in front of the step, as the caller knows it: "GetVersion" + "control IN" -> "GetVersion: control IN".
    FailureCause within(const std::string& context) const;

    static std::string errnoCode(int error);                            // "errno 121 (Remote I/O error)"
    static std::string refusedPacket(std::span<const uint8_t> packet);  // "NAK of 6e 51 83 ..."
};

class Errors {
public:
    class USBDeviceError : public std::exception {
    public:
        enum class Kind { RequestError, DeviceInterfaceNotFound };

        static USBDeviceError RequestError(std::string desc) {
            return USBDeviceError(Kind::RequestError, std::move(desc));
        }
        static USBDeviceError DeviceInterfaceNotFound() { return USBDeviceError(Kind::DeviceInterfaceNotFound, {}); }
        // The request error of every USB request but the register write.
        static USBDeviceError requestFailed(int32_t status);
        // The register write's own text, with its blank inside "status".
        static USBDeviceError writeRequestFailed(int32_t status);

        Kind kind() const { return kind_; }
        const std::string& desc() const { return desc_; }
        const char* what() const noexcept override;
        // The same error, carrying why; equality stays on kind and text.
        USBDeviceError because(FailureCause cause) const {
            USBDeviceError copy = *this;
            copy.cause_ = std::move(cause);
            return copy;
        }
        const std::optional<FailureCause>& cause() const { return cause_; }
        bool operator==(const USBDeviceError& other) const { return kind_ == other.kind_ && desc_ == other.desc_; }

    private:
        USBDeviceError(Kind kind, std::string desc) : kind_(kind), desc_(std::move(desc)) {}
        Kind kind_;
        std::string desc_;
        std::optional<FailureCause> cause_;
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
        // The same kind, carrying why; equality stays on the kind.
        customErrors because(FailureCause cause) const {
            customErrors copy = *this;
            copy.cause_ = std::move(cause);
            return copy;
        }
        const std::optional<FailureCause>& cause() const { return cause_; }
        bool operator==(const customErrors& other) const { return kind_ == other.kind_; }

    private:
        Kind kind_;
        std::optional<FailureCause> cause_;
    };
};

// The cause an error carries, else its text as the detail.
FailureCause causeOf(const std::exception& error);

inline const Errors::customErrors Errors::customErrors::USBUpgradeError{Kind::USBUpgradeError};
inline const Errors::customErrors Errors::customErrors::AUXUpgradeError{Kind::AUXUpgradeError};
inline const Errors::customErrors Errors::customErrors::readChipIDError{Kind::readChipIDError};

}  // namespace quorvel
