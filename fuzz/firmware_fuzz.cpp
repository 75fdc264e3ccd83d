// The firmware checks on any file: the version search (linear search,
// engine and plain reading must agree) and the chip signature.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Reference.h"
#include "model/FileAccess.h"
#include "model/SourceModel.h"

using namespace quorvel;

namespace {

// The engine backtracks quadratically on long lines of candidates; larger
// inputs are compared with the plain reading only.
constexpr size_t kEngineCompareLimit = 4 * 1024;

std::string joined(const std::vector<std::string>& matches) {
    std::string out;
    for (const auto& m : matches) out += "[" + fuzz::escaped(m) + "]";
    return out;
}

// Strict UTF-8 of exactly these bytes: no overlong form, no surrogate,
// nothing above U+10FFFF.
bool isUtf8(std::span<const uint8_t> b) {
    for (size_t i = 0; i < b.size();) {
        const uint8_t c = b[i];
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) n = 1, cp = c;
        else if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07;
        else return false;
        if (i + n > b.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (b[i + k] & 0x3F);
        }
        const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

void checkSignature(const FileAccess& files, std::span<const uint8_t> image) {
    const std::string got = files.ChipSignatureOf(image);
    const size_t kib = image.size() / 1024;
    if (kib != 64 && kib != 128) {
        FUZZ_CHECK(got == "FwFileNotCorrect", "size " + std::to_string(image.size()) + " gave " + fuzz::escaped(got));
        return;
    }
    const auto four = image.subspan(kib == 64 ? 65496 : 131032, 4);
    const std::string raw(four.begin(), four.end());
    if (std::all_of(four.begin(), four.end(), [](uint8_t b) { return b == 0xFF; })) {
        FUZZ_CHECK(got == "Talmore", fuzz::escaped(got));
    } else if (isUtf8(four)) {
        FUZZ_CHECK(got == raw, fuzz::escaped(raw) + " gave " + fuzz::escaped(got));
    } else {
        // Bytes that are no text must never pass for a chip of the table.
        FUZZ_CHECK(got != "Talmore", fuzz::escaped(raw));
        for (const ChipType& row : files.USBModels.chipTable)
            FUZZ_CHECK(got != row.signature, fuzz::escaped(raw) + " read as " + row.signature);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietSeams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FileAccess files;
    const std::span<const uint8_t> bytes(data, size);

    // What the programs do with a chosen file.
    const std::string text = SourceModel::BackData(bytes);
    const std::string version = files.GetFwVersion(text);
    FUZZ_CHECK(version == fuzz::fwVersion(text),
               "GetFwVersion gave " + fuzz::escaped(version) + ", expected " + fuzz::escaped(fuzz::fwVersion(text)));

    // The search on its own, over every byte value: all matches, and the first.
    const std::string raw(bytes.begin(), bytes.end());
    for (int p = 0; p < 5; ++p) {
        const std::string name = "pattern " + std::to_string(p + 1);
        const auto expected = fuzz::versionMatches(p, raw);
        const auto linear = FileAccess::MatchesToLineNul(fuzz::kVersionPatterns[p], raw, false);
        FUZZ_CHECK(linear == expected, name + ": linear search " + joined(linear) + ", expected " + joined(expected));
        const auto first = FileAccess::MatchesToLineNul(fuzz::kVersionPatterns[p], raw, true);
        FUZZ_CHECK(first.size() == std::min<size_t>(expected.size(), 1) && (first.empty() || first[0] == expected[0]),
                   name + ": first match " + joined(first));
        if (size <= kEngineCompareLimit) {
            const auto engine = FileAccess::Matches(fuzz::kVersionPatterns[p], raw);
            FUZZ_CHECK(engine == expected, name + ": engine " + joined(engine) + ", expected " + joined(expected));
        }
    }

    // The signature of the file as it is, and of a 64 and a 128 KiB image
    // that carry the input's last bytes at their end.
    checkSignature(files, bytes);
    const size_t tail = std::min<size_t>(size, 40);
    for (const size_t nominal : {size_t{65536}, size_t{131072}}) {
        std::vector<uint8_t> image(nominal + size % 1024, 0xFF);
        std::copy(bytes.end() - static_cast<std::ptrdiff_t>(tail), bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(nominal - tail));
        checkSignature(files, image);
    }
    return 0;
}
