#include "emu/SampleFiles.h"

#include <fstream>
#include <stdexcept>

#include "model/FirmwareLayout.h"
#include "model/Sentinels.h"
#include "model/SourceModel.h"

namespace quorvel::emu {

std::vector<uint8_t> firmwareImage(size_t size, const std::string& signature, const std::string& version,
                                   size_t versionOffset) {
    std::vector<uint8_t> image(size);
    // The high bit set: the version search sees only the texts.
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + 3) & 0x7F) | 0x80;
    if (!version.empty()) {
        std::copy(version.begin(), version.end(), image.begin() + static_cast<long>(versionOffset));
        image[versionOffset + version.size()] = 0;
    }
    const size_t at = size / 1024 == layout::firmwareLargeSize / 1024 ? layout::firmwareLargeSignatureOffset
                                                                      : layout::firmwareSmallSignatureOffset;
    if (at + signature.size() <= size)
        std::copy(signature.begin(), signature.end(), image.begin() + static_cast<long>(at));
    return image;
}

std::vector<uint8_t> loaderImage(const std::string& version, const std::string& signature, size_t size) {
    std::vector<uint8_t> image(size, 0xA5);
    std::copy(version.begin(), version.end(), image.begin() + 16);
    image[16 + version.size()] = 0;
    if (size >= layout::loaderSignatureOffset + signature.size())
        std::copy(signature.begin(), signature.end(), image.begin() + layout::loaderSignatureOffset);
    return image;
}

std::vector<uint8_t> sampleFirmware(int64_t chipId, size_t kib, const std::string& version) {
    const size_t size = kib * 1024;
    if (size != layout::firmwareSmallSize && size != layout::firmwareLargeSize)
        throw std::invalid_argument("firmware size must be 64 or 128 KiB");
    for (const auto& row : SourceModel().chipTable)
        if (row.chipNameValue == chipId) return firmwareImage(size, row.signature, version, 0x200);
    throw std::invalid_argument("no chip with identifier " + std::to_string(chipId));
}

std::vector<uint8_t> sampleLoader(const std::string& chipName) {
    return loaderImage(chipName + " v01.0", sentinel::loaderSignature, layout::loaderSize);
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
