// The USB ISP requests, byte for byte: the setup values and data stage of
// every control transfer the engine sends, and the reading of the replies.
// Pure: no device, no state. The command codes are passed in, as the
// caller reads them at each call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/SourceModel.h"
#include "usb/USBDevice.h"

namespace quorvel::usb {

inline constexpr uint8_t kTypeIn = 0xC1;   // vendor, interface, device-to-host
inline constexpr uint8_t kTypeOut = 0x41;  // vendor, interface, host-to-device
inline constexpr uint16_t kStatusRegister = 0x860C;
inline constexpr size_t kVersionBufferLength = 64;
inline constexpr size_t kReadBufferLength = 11;
inline constexpr size_t kPageSize = 256;
inline constexpr size_t kFrameOverhead = 5;  // length, code, two address bytes, checksum

// One control transfer: its setup and its data stage (sent for OUT; for IN
// the pre-filled buffer the reply overwrites from byte 0).
struct Request {
    ControlSetup setup;
    std::vector<uint8_t> data;
};

// IN requests, their buffers pre-filled with a request frame.
Request getVersion(const CmdCode& cmd);
Request read(const CmdCode& cmd, uint16_t address);

// Fixed-length OUT frames: length (also wLength), code, parameters high byte
// first, a closing 0.
Request debugOn(const CmdCode& cmd);
Request reset(const CmdCode& cmd, uint8_t number);
Request write(const CmdCode& cmd, uint16_t address, uint16_t value);
Request runCode(const CmdCode& cmd, uint16_t address);
Request flashErase(const CmdCode& cmd);

// One frame of the loader on its way into RAM: `data` (1 to 250 bytes) for
// the RAM address `ramAddress`, closed by the 8-bit checksum.
struct RamLoadFrame {
    uint16_t ramAddress = 0;
    std::span<const uint8_t> data;
};
Request ramLoad(const CmdCode& cmd, const RamLoadFrame& frame);

// One packet of the firmware: raw bytes in the data stage, the position in
// the setup (flag and address bits 23 to 16 in wValue, bits 15 to 0 in wIndex).
struct FlashWritePacket {
    uint32_t flashAddress = 0;  // offset of the first byte in the image
    bool lastOfPage = false;
    std::span<const uint8_t> data;
};
Request flashWrite(const CmdCode& cmd, const FlashWritePacket& packet);

// How many image bytes the next RAM frame or flash packet carries.
size_t ramFrameLength(size_t packetSize, size_t remaining);
size_t flashPacketLength(size_t packetSize, size_t remaining);

// The version text of a reply: the bytes from index 2 up to the last one
// its length byte counts, cut at a NUL; nothing when the length byte is
// below 3 (the chip did not answer with a version).
std::optional<std::string> versionText(std::span<const uint8_t> reply);
// A register reply's value: byte 0 for the status register, else bytes 4
// and 5. Missing bytes read as 0.
int64_t registerValue(std::span<const uint8_t> reply);

}  // namespace quorvel::usb
