// Reading of firmware and loader images, their signatures and version
// texts, and the choice of the loader for a chip.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QUrl>

#include "model/FirmwareLayout.h"
#include "model/SourceModel.h"

namespace quorvel {

class FileAccess {
public:
    SourceModel USBModels;
    int64_t SIGNATURE_LENGTH = layout::signatureLength;
    int64_t SIGNATURE_START = layout::firmwareSmallSignatureOffset;
    int64_t EXTEND_SIGNATURE_START = layout::firmwareLargeSignatureOffset;

    // Every non-overlapping match, in order. A pattern that does not compile
    // has no matches. `.` stops at CR, LF, VT and FF, as in ICU's engine.
    static std::vector<std::string> Matches(const std::string& regex, const std::string& text);

    std::string GetFwVersion(const std::string& FileContent) const;
    // Whole file, or nothing when it is not a readable regular file of sane size.
    static std::optional<std::vector<uint8_t>> GetBinaryFile(const QUrl& filepath);
    std::string GetChipSignature() const;
    std::string GetISPSignature() const;
    // The same answers for an image already read, so that the bytes that are
    // checked are the bytes that are written.
    std::string ChipSignatureOf(std::span<const uint8_t> image) const;
    std::string ISPSignatureOf(std::span<const uint8_t> image) const;
    std::string USBGetISPFilePath(int64_t chipID);
    std::string USBGetCLIISPFilePath(int64_t chipID);
    std::string AUXGetISPFilePath();
    std::string GetISPVersion(const std::string& FileContent) const;

    // The URL of a stored "file://" text. Only the path after the scheme is
    // taken, literally, so that blanks, '#', '%' and non-ASCII names work.
    static QUrl fileURL(const std::string& text);
    // Matches() for a version pattern ending in ".*[\x{00}]", in time linear
    // in the text: the part before ".*" spans at most 16 characters.
    // Patterns of another shape go to Matches().
    static std::vector<std::string> MatchesToLineNul(const std::string& regex,
                                                     const std::string& text, bool firstOnly);

    static constexpr int64_t maxFileSize = 16 * 1024 * 1024;

private:
    std::string loaderFileName(int64_t chipID) const;
    std::string storeLoaderPath(const std::string& path);
};

}  // namespace quorvel
