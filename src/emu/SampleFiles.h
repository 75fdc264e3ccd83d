// Synthetic images for trying the programs without hardware: firmware files
// that pass the checks for a chosen chip, and loader images of the right
// size, version text and signature. Real loaders come from the chip maker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvel::emu {

// A firmware image of `size` bytes: filler with the high bit set, the version
// text with its NUL at `versionOffset` (none when empty), and the signature
// 40 bytes before the end of a 64 or 128 KiB image (cut off where it would
// not fit). Any size, so that broken files can be made as easily as good ones.
std::vector<uint8_t> firmwareImage(size_t size, const std::string& signature, const std::string& version,
                                   size_t versionOffset = 0x100);
// A loader image of `size` bytes: filler, the version text at 16 and the
// signature 8 bytes before the end of 4096 bytes (when it fits).
std::vector<uint8_t> loaderImage(const std::string& version = "UsbFlV v01.2", const std::string& signature = "eISP",
                                 size_t size = 4096);

// A 64 or 128 KiB firmware whose signature fits `chipId` and which carries
// `version` ended by a NUL. Throws std::invalid_argument for another size
// or a chip without a table row.
std::vector<uint8_t> sampleFirmware(int64_t chipId, size_t kib, const std::string& version);

// A 4096-byte loader: "UsbFl..." version text and the "eISP" signature.
std::vector<uint8_t> sampleLoader(const std::string& chipName);

// Writes the four USB loaders and the display loader under `dataDir`, in
// the folders the programs look in.
void writeSampleLoaders(const std::filesystem::path& dataDir);

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace quorvel::emu
