// One connected USB chip: every ISP request on its control endpoint and the
// complete upgrade sequence.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/Errors.h"
#include "model/SourceModel.h"
#include "usb/USBDevice.h"

namespace quorvel {

// The pauses of the upgrade sequence, each after a step the chip needs time for.
struct UsbTiming {
    std::chrono::milliseconds afterDebugReset{900};   // Reset(2): the chip restarts in debug mode
    std::chrono::milliseconds afterLoaderReset{500};  // Reset(0): before the loader is written to RAM
    std::chrono::milliseconds afterRunCode{2000};     // the loader starts before the flash is erased
};

class USBAccess {
public:
    explicit USBAccess(USBDevice device);

    SourceModel USBModels;
    USBDevice deviceInfo;
    Errors errors;
    std::vector<uint8_t> backData;
    UsbTiming timing;

    std::string GetVersion();
    void Read(uint16_t address);
    void DebugOn();
    void Reset(uint8_t number);
    void Write(uint32_t address, uint32_t inputValue);
    void RamWrite(uint16_t address, std::span<const uint8_t> ISPData);
    void RunCode(uint16_t address);
    void FlashErease();
    void FlashWrite(std::span<const uint8_t> firmwareData);
    static int64_t ReadOutInfoInt(std::span<const uint8_t> requestPtr);
    int64_t GetChipID();
    bool ConsistencyOfDeviceAndFile(int64_t chipID, const std::string& chipSignature) const;
    bool ConsistencyOfDeviceAndISP(int64_t chipID, const std::string& ISPChipName) const;
    bool DebugOnManual(int64_t chipID);
    void USBFirmware(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                     int64_t chipID);

private:
    // Sends one request through the device's interface; throws
    // DeviceInterfaceNotFound without one, and the request error (the
    // register write's own text when `registerWrite`) on a failed status.
    void transfer(const ControlSetup& setup, std::span<uint8_t> data, bool registerWrite = false);
    // Sends a host-to-device frame whose length byte is also wLength.
    void sendFrame(uint8_t code, std::span<uint8_t> frame, bool registerWrite = false);
    // maxPktSize, refused (std::invalid_argument) unless it fits a RAM frame's
    // length byte with at least one data byte and divides the 256-byte page.
    static size_t packetSize();
};

}  // namespace quorvel
