#include "usb/UsbRequests.h"

#include <algorithm>

namespace quorvel::usb {

namespace {

uint8_t high(uint32_t value) { return static_cast<uint8_t>(value >> 8); }
uint8_t low(uint32_t value) { return static_cast<uint8_t>(value); }

// A host-to-device frame whose length byte is also wLength.
Request outFrame(uint8_t code, std::vector<uint8_t> frame) {
    return {{kTypeOut, code, 0, 0, static_cast<uint16_t>(frame.size())}, std::move(frame)};
}

}  // namespace

Request getVersion(const CmdCode& cmd) {
    std::vector<uint8_t> buffer(kVersionBufferLength, 0);
    buffer[0] = 0x03;
    buffer[1] = cmd.getVersion;
    buffer.back() = SourceModel::CalCheckSum(buffer);
    return {{kTypeIn, cmd.getVersion, 0xFFFF, 0xFFFF, kVersionBufferLength}, std::move(buffer)};
}

Request read(const CmdCode& cmd, uint16_t address) {
    std::vector<uint8_t> buffer(kReadBufferLength, 0);
    buffer[0] = 0x05;
    buffer[1] = cmd.read;
    buffer[2] = high(address);
    buffer[3] = low(address);
    buffer[10] = SourceModel::CalCheckSum(std::span(buffer).first(10));
    return {{kTypeIn, cmd.read, address, 0xFFFF, kReadBufferLength}, std::move(buffer)};
}

Request debugOn(const CmdCode& cmd) { return outFrame(cmd.debugOn, {3, cmd.debugOn, 0}); }

Request reset(const CmdCode& cmd, uint8_t number) { return outFrame(cmd.reset, {4, cmd.reset, number, 0}); }

Request write(const CmdCode& cmd, uint16_t address, uint16_t value) {
    return outFrame(cmd.write, {7, cmd.write, high(address), low(address), high(value), low(value), 0});
}

Request runCode(const CmdCode& cmd, uint16_t address) {
    return outFrame(cmd.runCode, {5, cmd.runCode, high(address), low(address), 0});
}

// The erase carries no frame header, only two zero bytes.
Request flashErase(const CmdCode& cmd) { return outFrame(cmd.flashErase, {0, 0}); }

Request ramLoad(const CmdCode& cmd, const RamLoadFrame& frame) {
    std::vector<uint8_t> bytes(frame.data.size() + kFrameOverhead, 0);
    bytes[0] = static_cast<uint8_t>(bytes.size());
    bytes[1] = cmd.ramWrite;
    bytes[2] = high(frame.ramAddress);
    bytes[3] = low(frame.ramAddress);
    std::copy(frame.data.begin(), frame.data.end(), bytes.begin() + 4);
    bytes.back() = SourceModel::CalCheckSum(bytes);
    return outFrame(cmd.ramWrite, std::move(bytes));
}

Request flashWrite(const CmdCode& cmd, const FlashWritePacket& packet) {
    const uint16_t flag = packet.lastOfPage ? 1 : 0;
    const auto value = static_cast<uint16_t>(flag << 8 | ((packet.flashAddress >> 16) & 0xFF));
    return {{kTypeOut, cmd.flashWrite, value, static_cast<uint16_t>(packet.flashAddress & 0xFFFF),
             static_cast<uint16_t>(packet.data.size())},
            std::vector<uint8_t>(packet.data.begin(), packet.data.end())};
}

size_t ramFrameLength(size_t packetSize, size_t remaining) { return std::min(packetSize - kFrameOverhead, remaining); }

size_t flashPacketLength(size_t packetSize, size_t remaining) { return std::min(packetSize, remaining); }

std::optional<std::string> versionText(std::span<const uint8_t> reply) {
    if (reply.empty() || reply[0] < 3) return std::nullopt;
    // The last byte counted by the length byte closes the text; it is not part of it.
    const size_t end = std::min<size_t>(reply[0], reply.size()) - 1;
    if (end <= 2) return std::string();
    std::string text = SourceModel::BackData(reply.subspan(2, end - 2));
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

int64_t registerValue(std::span<const uint8_t> reply) {
    // Bytes missing from a short array read as 0, so a truncated reply gives
    // a wrong value rather than a read past its end.
    auto at = [&](size_t i) -> int64_t { return i < reply.size() ? reply[i] : 0; };
    if (at(2) * 256 + at(3) == kStatusRegister) return at(0);
    return at(4) * 256 + at(5);
}

}  // namespace quorvel::usb
