#include "usb/USBAccess.h"

#include <optional>
#include <stdexcept>

#include "model/Alert.h"
#include "model/Hex.h"
#include "model/Log.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "usb/UsbStatus.h"

namespace quorvel {

namespace {

std::string named(const char* operation, uint32_t value, int digits) {
    return std::string(operation) + " 0x" + hexDigits(value, digits);
}

std::string ofCount(const char* unit, size_t index, size_t count) {
    return std::string(unit) + " " + std::to_string(index) + " of " + std::to_string(count);
}

size_t pieces(size_t total, size_t size) { return (total + size - 1) / size; }

}  // namespace

USBAccess::USBAccess(USBDevice device) : deviceInfo(std::move(device)) {}

Errors::USBDeviceError USBAccess::noInterface(std::string step) {
    return Errors::USBDeviceError::DeviceInterfaceNotFound().because({std::move(step), "no device interface"});
}

Errors::USBDeviceError USBAccess::requestFailed(int32_t status, std::string step, bool registerWrite) {
    const auto error = registerWrite ? Errors::USBDeviceError::writeRequestFailed(status)
                                     : Errors::USBDeviceError::requestFailed(status);
    return error.because({std::move(step), usbStatusText(status)});
}

size_t USBAccess::packetSize() {
    const int64_t size = maxPktSize.load();
    // A RAM frame's length byte holds at most 255 and must leave room for one
    // data byte; the last-packet flag falls on a page end only if the size
    // divides the page.
    if (size < 6 || size > 255 || usb::kPageSize % static_cast<size_t>(size) != 0)
        throw std::invalid_argument("unsupported packet size " + std::to_string(size) +
                                    " (it must lie between 6 and 255 and divide 256)");
    return static_cast<size_t>(size);
}

std::string USBAccess::GetVersion() {
    usb::Request request = usb::getVersion(USBModels.cmd);
    transfer(request, [] { return std::string("GetVersion"); });
    if (auto text = usb::versionText(request.data)) return *text;
    writeLine(sentinel::replugDevice);
    return sentinel::replugDevice;
}

void USBAccess::Read(uint16_t address) {
    usb::Request request = usb::read(USBModels.cmd, address);
    transfer(request, [&] { return named("Read", address, 4); });
    backData = std::move(request.data);
}

void USBAccess::DebugOn() {
    usb::Request request = usb::debugOn(USBModels.cmd);
    transfer(request, [] { return std::string("DebugOn"); });
}

void USBAccess::Reset(uint8_t number) {
    usb::Request request = usb::reset(USBModels.cmd, number);
    transfer(request, [&] { return "Reset " + std::to_string(number); });
}

void USBAccess::Write(uint32_t address, uint32_t inputValue) {
    usb::Request request = usb::write(USBModels.cmd, static_cast<uint16_t>(address), static_cast<uint16_t>(inputValue));
    transfer(
        request, [&] { return named("Write", address & 0xFFFF, 4); }, true);
}

int64_t USBAccess::ReadOutInfoInt(std::span<const uint8_t> requestPtr) { return usb::registerValue(requestPtr); }

int64_t USBAccess::GetChipID() {
    try {
        Read(0x8910);
        const int64_t id = ReadOutInfoInt(backData);
        if (id != 0) return id;
        Read(0x89FC);
        return ReadOutInfoInt(backData);
    } catch (const Errors::USBDeviceError& e) {
        throw Errors::customErrors::readChipIDError.because(causeOf(e).within("GetChipID"));
    }
}

bool USBAccess::DebugOnManual(int64_t chipID) {
    const Constants& c = USBModels.constant;
    const bool talmore = chipID == c.CHIP_TALMORE;
    try {
        uint16_t r = 0;
        if (talmore) r = 0x0A06;
        else if (chipID == c.CHIP_VIRREN_A) r = 0x0ED6;
        else if (chipID == c.CHIP_VIRREN_B) r = 0x1304;
        Read(r);
        int64_t v = ReadOutInfoInt(backData);
        if (talmore && v == 0x49) {
            r = 0x0A74;
            Read(r);
            v = ReadOutInfoInt(backData);
        }
        Write(r, static_cast<uint32_t>(v | 0x01));
        Write(talmore ? 0x8900 : 0x8800, 0);
        Read(0x8088);
        Write(0x8088, static_cast<uint32_t>(ReadOutInfoInt(backData) & ~int64_t{0x80}));
        return true;
    } catch (const Errors::USBDeviceError& e) {
        // The caller goes on regardless; the log keeps why.
        logLine(LogLevel::error, "DebugOnManual failed, the sequence goes on: " + causeOf(e).describe());
        return false;
    }
}

void USBAccess::RamWrite(uint16_t address, std::span<const uint8_t> ISPData, const ProgressObserver& progress) {
    loadRam(address, ISPData, publishing(percentCompleted, progress));
}

void USBAccess::loadRam(uint16_t address, std::span<const uint8_t> ISPData, const ProgressObserver& progress) {
    const size_t packet = packetSize();
    const size_t total = ISPData.size();
    const size_t frames = pieces(total, packet - usb::kFrameOverhead);
    progress.started(UpgradePhase::loader);
    std::optional<int64_t> told;
    size_t sent = 0;
    for (size_t frame = 1; sent < total; ++frame) {
        const size_t n = usb::ramFrameLength(packet, total - sent);
        usb::Request request = usb::ramLoad(USBModels.cmd, {.ramAddress = static_cast<uint16_t>(address + sent),
                                                            .data = ISPData.subspan(sent, n)});
        transfer(request, [&] { return "RamWrite " + ofCount("frame", frame, frames); });
        sent += n;
        const auto percent = static_cast<int64_t>(sent * 100 / total);
        if (told != percent) progress.reached(UpgradePhase::loader, percent);
        told = percent;
    }
    progress.ended(UpgradePhase::loader);
}

void USBAccess::RunCode(uint16_t address) {
    usb::Request request = usb::runCode(USBModels.cmd, address);
    transfer(request, [&] { return named("RunCode", address, 4); });
}

void USBAccess::FlashErease() {
    usb::Request request = usb::flashErase(USBModels.cmd);
    transfer(request, [] { return std::string("FlashErease"); });
}

void USBAccess::FlashWrite(std::span<const uint8_t> firmwareData, const ProgressObserver& progress) {
    writeFlash(firmwareData, publishing(percentCompleted, progress));
}

void USBAccess::writeFlash(std::span<const uint8_t> firmwareData, const ProgressObserver& progress) {
    const size_t packet = packetSize();
    const size_t packetsPerPage = usb::kPageSize / packet;
    const size_t total = firmwareData.size();
    const size_t packets = pieces(total, packet);
    const size_t pages = pieces(total, usb::kPageSize);
    progress.started(UpgradePhase::firmware);
    progress.reached(UpgradePhase::firmware, 0);
    int64_t told = 0;
    size_t written = 0;
    size_t sentPackets = 0;
    for (size_t page = 1; written < total; ++page) {
        size_t k = 0;
        do {
            ++k;
            ++sentPackets;
            const size_t n = usb::flashPacketLength(packet, total - written);
            usb::Request request = usb::flashWrite(USBModels.cmd, {.flashAddress = static_cast<uint32_t>(written),
                                                                   .lastOfPage = k == packetsPerPage,
                                                                   .data = firmwareData.subspan(written, n)});
            transfer(request, [&] { return "FlashWrite " + ofCount("packet", sentPackets, packets); });
            written += n;
        } while (k < packetsPerPage && written < total);

        const auto percent = static_cast<int64_t>(written * 100 / total);
        if (told != percent) progress.reached(UpgradePhase::firmware, percent);
        told = percent;
        const auto pageStep = [&] { return "FlashWrite " + ofCount("page", page, pages); };
        try {
            Read(usb::kStatusRegister);
        } catch (const Errors::USBDeviceError& e) {
            throw e.because(causeOf(e).within(pageStep()));
        }
        const int64_t status = ReadOutInfoInt(backData);
        if (status != USBModels.upgrade.success) {
            SourceModel::AlertHandler("ERROR", "Update process FAILED!");
            throw Errors::customErrors::USBUpgradeError.because(
                {pageStep(),
                 "page status " + std::to_string(status) + ", not " + std::to_string(USBModels.upgrade.success)});
        }
    }
    progress.ended(UpgradePhase::firmware);
}

}  // namespace quorvel
