#include "emu/SampleFiles.h"

#include <fstream>
#include <stdexcept>

#include "model/FirmwareLayout.h"
#include "model/Sentinels.h"
#include "model/SourceModel.h"

namespace quorvel::emu {

namespace {
// Filler with the high bit set: the version search sees only the texts.
void fill(std::vector<uint8_t>& image, uint32_t seed) {
    uint32_t x = seed;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(0x80 | (x >> 16));
    }
}
}  // namespace

std::vector<uint8_t> sampleFirmware(int64_t chipId, size_t kib, const std::string& version) {
    const size_t size = kib * 1024;
    if (size != layout::firmwareSmallSize && size != layout::firmwareLargeSize) throw std::invalid_argument("firmware size must be 64 or 128 KiB");
    std::string signature;
    for (const auto& row : SourceModel().chipTable)
        if (row.chipNameValue == chipId) {
            signature = row.signature;
            break;
        }
    if (signature.empty()) throw std::invalid_argument("no chip with identifier " + std::to_string(chipId));
    std::vector<uint8_t> image(size);
    fill(image, static_cast<uint32_t>(chipId * 7919 + kib));
    const size_t versionAt = 0x200;
    std::copy(version.begin(), version.end(), image.begin() + versionAt);
    image[versionAt + version.size()] = 0;
    std::copy(signature.begin(), signature.end(), image.end() - layout::signatureFromEnd);
    return image;
}

std::vector<uint8_t> sampleLoader(const std::string& chipName) {
    std::vector<uint8_t> image(layout::loaderSize);
    fill(image, static_cast<uint32_t>(chipName.size() * 31 + layout::loaderSize));
    const std::string version = chipName + " v01.0";
    std::copy(version.begin(), version.end(), image.begin() + 0x20);
    image[0x20 + version.size()] = 0;
    const std::string& signature = sentinel::loaderSignature;
    std::copy(signature.begin(), signature.end(), image.begin() + layout::loaderSignatureOffset);
    return image;
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeSampleLoaders(const std::filesystem::path& dataDir) {
    writeBytes(dataDir / "ISP_USB" / "ISP_USB_TS.bin", sampleLoader("UsbFlT"));
    writeBytes(dataDir / "ISP_USB" / "ISP_USB_TS2.bin", sampleLoader("UsbFlT2"));
    writeBytes(dataDir / "ISP_USB" / "ISP_USB_SK.bin", sampleLoader("UsbFlS"));
    writeBytes(dataDir / "ISP_USB" / "ISP_USB_VB.bin", sampleLoader("UsbFlV"));
    writeBytes(dataDir / "ISP_AUX" / "ISP_AUX.bin", sampleLoader("UsbFlA"));
}

}  // namespace quorvel::emu
