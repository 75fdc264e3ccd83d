// One connected USB chip: every ISP request on its control endpoint and the
// complete upgrade sequence. Three layers: the requests byte for byte
// (usb/UsbRequests.h), the operations and the sequence here, and the
// device's ControlTransport below.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/Errors.h"
#include "model/Progress.h"
#include "model/SourceModel.h"
#include "usb/USBDevice.h"
#include "usb/UsbRequests.h"

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

    // Every failure carries its cause: the request that failed and the
    // platform's status, or the chip's answer.
    std::string GetVersion();
    void Read(uint16_t address);
    void DebugOn();
    void Reset(uint8_t number);
    void Write(uint32_t address, uint32_t inputValue);
    // The two bulk phases report to `progress` (loader, firmware) and write
    // percentCompleted through it.
    void RamWrite(uint16_t address, std::span<const uint8_t> ISPData, const ProgressObserver& progress = {});
    void RunCode(uint16_t address);
    void FlashErease();
    void FlashWrite(std::span<const uint8_t> firmwareData, const ProgressObserver& progress = {});
    static int64_t ReadOutInfoInt(std::span<const uint8_t> requestPtr);
    int64_t GetChipID();
    bool ConsistencyOfDeviceAndFile(int64_t chipID, const std::string& chipSignature) const;
    bool ConsistencyOfDeviceAndISP(int64_t chipID, const std::string& ISPChipName) const;
    bool DebugOnManual(int64_t chipID);
    void USBFirmware(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData, int64_t chipID,
                     const ProgressObserver& progress = {});

private:
    // Sends one request through the device's interface; throws
    // DeviceInterfaceNotFound without one, and the request error (the
    // register write's own text when `registerWrite`) on a failed status,
    // each carrying `step()` (called only on failure) as its step.
    template <class Step>
    void transfer(usb::Request& request, Step&& step, bool registerWrite = false) {
        ControlTransport* transport = deviceInfo.deviceInterfacePtrPtr.get();
        if (transport == nullptr) throw noInterface(step());
        const int32_t status = transport->controlTransfer(request.setup, request.data);
        if (status != 0) throw requestFailed(status, step(), registerWrite);
    }
    static Errors::USBDeviceError noInterface(std::string step);
    static Errors::USBDeviceError requestFailed(int32_t status, std::string step, bool registerWrite);

    // The bulk phases, reporting to an observer that already publishes.
    void loadRam(uint16_t address, std::span<const uint8_t> ISPData, const ProgressObserver& progress);
    void writeFlash(std::span<const uint8_t> firmwareData, const ProgressObserver& progress);

    // maxPktSize, refused (std::invalid_argument) unless it fits a RAM frame's
    // length byte with at least one data byte and divides the 256-byte page.
    static size_t packetSize();
};

}  // namespace quorvel
