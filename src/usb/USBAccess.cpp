#include "usb/USBAccess.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "model/Sentinels.h"
#include "model/Settings.h"
#include "model/Log.h"
#include "model/Sleeper.h"

namespace quorvel {

namespace {

constexpr uint8_t kTypeIn = 0xC1;   // vendor, interface, device-to-host
constexpr uint8_t kTypeOut = 0x41;  // vendor, interface, host-to-device
constexpr uint16_t kStatusRegister = 0x860C;
constexpr size_t kVersionBufferLength = 64;
constexpr size_t kReadBufferLength = 11;
constexpr size_t kPageSize = 256;
constexpr size_t kFrameOverhead = 5;  // length, code, two address bytes, checksum

uint8_t high(uint32_t value) { return static_cast<uint8_t>(value >> 8); }
uint8_t low(uint32_t value) { return static_cast<uint8_t>(value); }

}  // namespace

USBAccess::USBAccess(USBDevice device) : deviceInfo(std::move(device)) {}

void USBAccess::transfer(const ControlSetup& setup, std::span<uint8_t> data, bool registerWrite) {
    ControlTransport* transport = deviceInfo.deviceInterfacePtrPtr.get();
    if (transport == nullptr) throw Errors::USBDeviceError::DeviceInterfaceNotFound();
    const int32_t status = transport->controlTransfer(setup, data);
    if (status != 0)
        throw registerWrite ? Errors::USBDeviceError::writeRequestFailed(status)
                            : Errors::USBDeviceError::requestFailed(status);
}

void USBAccess::sendFrame(uint8_t code, std::span<uint8_t> frame, bool registerWrite) {
    transfer({kTypeOut, code, 0, 0, static_cast<uint16_t>(frame.size())}, frame, registerWrite);
}

size_t USBAccess::packetSize() {
    const int64_t size = maxPktSize.load();
    // A RAM frame's length byte holds at most 255 and must leave room for one
    // data byte; the last-packet flag falls on a page end only if the size
    // divides the page.
    if (size < 6 || size > 255 || kPageSize % static_cast<size_t>(size) != 0)
        throw std::invalid_argument("unsupported packet size " + std::to_string(size) +
                                    " (it must lie between 6 and 255 and divide 256)");
    return static_cast<size_t>(size);
}

std::string USBAccess::GetVersion() {
    std::array<uint8_t, kVersionBufferLength> buffer{};
    buffer[0] = 0x03;
    buffer[1] = USBModels.cmd.getVersion;
    buffer.back() = SourceModel::CalCheckSum(buffer);
    transfer({kTypeIn, USBModels.cmd.getVersion, 0xFFFF, 0xFFFF, kVersionBufferLength}, buffer);

    const size_t length = buffer[0];
    if (length < 3) {
        writeLine(sentinel::replugDevice);
        return sentinel::replugDevice;
    }
    // The last byte counted by the length byte closes the text; it is not part of it.
    const size_t end = std::min(length, kVersionBufferLength) - 1;
    std::string text = SourceModel::BackData(std::span(buffer).subspan(2, end - 2));
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

void USBAccess::Read(uint16_t address) {
    std::vector<uint8_t> buffer(kReadBufferLength, 0);
    buffer[0] = 0x05;
    buffer[1] = USBModels.cmd.read;
    buffer[2] = high(address);
    buffer[3] = low(address);
    buffer[10] = SourceModel::CalCheckSum(std::span(buffer).first(10));
    transfer({kTypeIn, USBModels.cmd.read, address, 0xFFFF, kReadBufferLength}, buffer);
    backData = std::move(buffer);
}

void USBAccess::DebugOn() {
    std::array<uint8_t, 3> frame{3, USBModels.cmd.debugOn, 0};
    sendFrame(USBModels.cmd.debugOn, frame);
}

void USBAccess::Reset(uint8_t number) {
    std::array<uint8_t, 4> frame{4, USBModels.cmd.reset, number, 0};
    sendFrame(USBModels.cmd.reset, frame);
}

void USBAccess::Write(uint32_t address, uint32_t inputValue) {
    std::array<uint8_t, 7> frame{7, USBModels.cmd.write, high(address), low(address),
                                 high(inputValue), low(inputValue), 0};
    sendFrame(USBModels.cmd.write, frame, true);
}

int64_t USBAccess::ReadOutInfoInt(std::span<const uint8_t> requestPtr) {
    // Bytes missing from a short array read as 0, so a truncated reply gives
    // a wrong value rather than a read past its end.
    auto at = [&](size_t i) -> int64_t { return i < requestPtr.size() ? requestPtr[i] : 0; };
    if (at(2) * 256 + at(3) == kStatusRegister) return at(0);
    return at(4) * 256 + at(5);
}

int64_t USBAccess::GetChipID() {
    try {
        Read(0x8910);
        const int64_t id = ReadOutInfoInt(backData);
        if (id != 0) return id;
        Read(0x89FC);
        return ReadOutInfoInt(backData);
    } catch (const std::exception&) {
        throw Errors::customErrors::readChipIDError;
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
    } catch (const std::exception&) {
        return false;
    }
}

void USBAccess::RamWrite(uint16_t address, std::span<const uint8_t> ISPData) {
    const size_t packet = packetSize();
    const size_t total = ISPData.size();
    int64_t prev = 0;
    size_t sent = 0;
    std::vector<uint8_t> frame;
    frame.reserve(packet);
    while (sent < total) {
        const size_t n = std::min(packet - kFrameOverhead, total - sent);
        const auto ramAddress = static_cast<uint16_t>(address + sent);
        frame.assign(n + kFrameOverhead, 0);
        frame[0] = static_cast<uint8_t>(n + kFrameOverhead);
        frame[1] = USBModels.cmd.ramWrite;
        frame[2] = high(ramAddress);
        frame[3] = low(ramAddress);
        std::copy_n(ISPData.begin() + static_cast<std::ptrdiff_t>(sent), n, frame.begin() + 4);
        frame.back() = SourceModel::CalCheckSum(frame);
        sendFrame(USBModels.cmd.ramWrite, frame);

        sent += n;
        const auto percent = static_cast<int64_t>(sent * 100 / total);
        percentCompleted = percent;
        if (prev != percent) {
            if (prev == 20) writeLine("Initializing...\n" + std::to_string(percent - 1) + "%...");
            else if (prev == 40 || prev == 60 || prev == 80) writeLine(std::to_string(percent - 1) + "%...");
        }
        prev = percent;
    }
    writeLine("100%...");
}

void USBAccess::RunCode(uint16_t address) {
    std::array<uint8_t, 5> frame{5, USBModels.cmd.runCode, high(address), low(address), 0};
    sendFrame(USBModels.cmd.runCode, frame);
}

void USBAccess::FlashErease() {
    std::array<uint8_t, 2> data{0, 0};
    sendFrame(USBModels.cmd.flashErase, data);
}

void USBAccess::FlashWrite(std::span<const uint8_t> firmwareData) {
    const size_t packet = packetSize();
    const size_t packetsPerPage = kPageSize / packet;
    const size_t total = firmwareData.size();
    percentCompleted = 0;
    int64_t prev = 0;
    size_t written = 0;
    std::vector<uint8_t> data;
    data.reserve(packet);
    while (written < total) {
        size_t k = 0;
        do {
            ++k;
            const size_t n = std::min(packet, total - written);
            const uint16_t flag = k == packetsPerPage ? 1 : 0;
            const auto value = static_cast<uint16_t>(flag << 8 | ((written >> 16) & 0xFF));
            data.assign(firmwareData.begin() + static_cast<std::ptrdiff_t>(written),
                        firmwareData.begin() + static_cast<std::ptrdiff_t>(written + n));
            transfer({kTypeOut, USBModels.cmd.flashWrite, value, static_cast<uint16_t>(written & 0xFFFF),
                      static_cast<uint16_t>(n)},
                     data);
            written += n;
        } while (k < packetsPerPage && written < total);

        const auto percent = static_cast<int64_t>(written * 100 / total);
        percentCompleted = percent;
        if (prev != percent) {
            if (prev == 20) writeLine("Programming...\n" + std::to_string(percent - 1) + "%...");
            else if (prev == 40 || prev == 60 || prev == 80) writeLine(std::to_string(percent - 1) + "%...");
        }
        Read(kStatusRegister);
        prev = percent;
        if (ReadOutInfoInt(backData) != USBModels.upgrade.success) {
            SourceModel::AlertHandler("ERROR", "Update process FAILED!");
            throw Errors::customErrors::USBUpgradeError;
        }
    }
    writeLine("100%...");
}

bool USBAccess::ConsistencyOfDeviceAndFile(int64_t chipID, const std::string& chipSignature) const {
    for (const ChipType& row : USBModels.chipTable)
        if (row.chipNameValue == chipID && row.signature == chipSignature) return true;
    return chipID == USBModels.constant.CHIP_TALMORE && chipSignature == sentinel::erasedSignature;
}

bool USBAccess::ConsistencyOfDeviceAndISP(int64_t chipID, const std::string& ISPChipName) const {
    for (const ChipType& row : USBModels.chipTable)
        if (row.chipNameValue == chipID && row.ISPChipName == ISPChipName) return true;
    return false;
}

void USBAccess::USBFirmware(std::span<const uint8_t> ISPData, std::span<const uint8_t> firmwareData,
                            int64_t chipID) {
    // A packet size that cannot frame the data is refused before the chip is
    // touched, so a bad setting never leaves it half-prepared.
    try {
        packetSize();
    } catch (const std::invalid_argument& e) {
        writeLine(std::string("USB Upgrade Error: ") + e.what());
        throw Errors::customErrors::USBUpgradeError;
    }

    // Runs one step; its failure ends the sequence, after its message if it has one.
    auto step = [](const char* message, auto&& action) {
        try {
            action();
        } catch (const std::exception&) {
            if (message != nullptr) writeLine(message);
            throw Errors::customErrors::USBUpgradeError;
        }
    };

    const Constants& c = USBModels.constant;
    step(nullptr, [&] {
        if (chipID == c.CHIP_VIRREN_A || chipID == c.CHIP_VIRREN_B || chipID == c.CHIP_TALMORE)
            DebugOnManual(chipID);
        else
            DebugOn();
    });
    step(nullptr, [&] { Reset(2); });
    sleeper().sleep(timing.afterDebugReset);
    step("USB Upgrade Error: Write", [&] { Write(0x80AD, 0); });
    step(nullptr, [&] {
        for (uint32_t address : {0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}) Write(address, 0);
    });
    step("USB Upgrade Error: Reset", [&] { Reset(0); });
    sleeper().sleep(timing.afterLoaderReset);
    step("USB Upgrade Error: RamWrite", [&] { RamWrite(0x2000, ISPData); });
    step("USB Upgrade Error: RunCode", [&] { RunCode(0x2000); });
    sleeper().sleep(timing.afterRunCode);
    step("USB Upgrade Error: FlashErease", [&] { FlashErease(); });
    step("USB Upgrade Error: FlashWrite", [&] { FlashWrite(firmwareData); });
}

}  // namespace quorvel
