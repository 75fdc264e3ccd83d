// The loader checks on any file: size and signature, the version text (the
// engine against the plain reading) and the chip name that decides whether
// a loader may go into a chip's RAM.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Reference.h"
#include "model/FileAccess.h"
#include "model/SourceModel.h"
#include "usb/USBAccess.h"

using namespace quorvel;

namespace {

constexpr size_t kLoaderSize = 4096;
constexpr size_t kSignatureAt = 4088;

void checkLoader(const FileAccess& files, const USBAccess& device, std::span<const uint8_t> image) {
    const std::string signature = files.ISPSignatureOf(image);
    if (image.size() != kLoaderSize) {
        FUZZ_CHECK(signature == "The ISP file is Not Correct.", "size " + std::to_string(image.size()));
        return;
    }
    const bool signedLoader = std::equal(image.begin() + kSignatureAt, image.begin() + kSignatureAt + 4, "eISP");
    FUZZ_CHECK((signature == "eISP") == signedLoader, "signature read as " + fuzz::escaped(signature));

    const std::string text = SourceModel::BackData(image);
    const std::string version = files.GetISPVersion(text);
    const std::string expected = fuzz::ispVersion(text);
    FUZZ_CHECK(version == expected,
               "GetISPVersion gave " + fuzz::escaped(version) + ", expected " + fuzz::escaped(expected));
    if (version == "NoVersionInfo") return;

    // The windows' check: the name before the blank must be the chip's. A
    // loader is never accepted for a chip whose name its text does not carry.
    const std::string name = version.substr(0, version.find(' '));
    const size_t nameLength = expected.size() > 6 && expected[6] >= '0' && expected[6] <= '9' ? 7 : 6;
    for (const ChipType& row : device.USBModels.chipTable) {
        if (!device.ConsistencyOfDeviceAndISP(row.chipNameValue, name)) continue;
        bool named = false;
        for (const ChipType& same : device.USBModels.chipTable)
            named = named ||
                    (same.chipNameValue == row.chipNameValue && same.ISPChipName == expected.substr(0, nameLength));
        FUZZ_CHECK(named,
                   "loader " + fuzz::escaped(version) + " accepted for chip " + std::to_string(row.chipNameValue));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietSeams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FileAccess files;
    static const USBAccess device{USBDevice{}};
    const std::span<const uint8_t> bytes(data, size);
    checkLoader(files, device, bytes);

    // Inputs of another size still reach the 4096-byte checks: the input's
    // last bytes at the end of an erased loader image.
    if (size != kLoaderSize) {
        std::vector<uint8_t> image(kLoaderSize, 0xFF);
        const size_t n = std::min(size, kLoaderSize);
        std::copy(bytes.end() - static_cast<std::ptrdiff_t>(n), bytes.end(),
                  image.end() - static_cast<std::ptrdiff_t>(n));
        checkLoader(files, device, image);
    }
    return 0;
}
