// Synthetic images for trying the programs without hardware: firmware files
// that pass the checks for a chosen chip, and loader images of the right
// size, version text and signature. Real loaders come from the chip maker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvel::emu {

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
