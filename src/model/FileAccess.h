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
    // The image a firmware file carries: its first 65536 or 131072 bytes, as
    // the size rule reads the file (bytes past them are never written);
    // nothing when the rule refuses the file.
    static std::optional<std::span<const uint8_t>> FirmwareImageOf(std::span<const uint8_t> file);
    std::string USBGetISPFilePath(int64_t chipID);
    std::string USBGetCLIISPFilePath(int64_t chipID);
    std::string AUXGetISPFilePath();
    std::string GetISPVersion(const std::string& FileContent) const;

    // The URL of a stored "file://" text. Only the path after the scheme is
    // taken, literally, so that blanks, '#', '%' and non-ASCII names work; a
    // text written by fileURLText for a name that is not UTF-8 reads back
    // to the name's bytes.
    static QUrl fileURL(const std::string& text);
    // The "file://" text to store for a path, which is bytes. A valid UTF-8
    // path stands as it is; in any other, '%' and each byte that is not
    // UTF-8 are percent-encoded, so the text is UTF-8 that a preference
    // store keeps intact.
    static std::string fileURLText(const std::string& path);
    // The local path a URL names, as bytes; nothing for another scheme.
    static std::optional<std::string> localPath(const QUrl& url);
    // The path, as bytes, of a file name given as text by Qt, which shows
    // bytes that are not UTF-8 as U+FFFD: components that do not exist as
    // encoded are found among their folder's entries by their shown name.
    static std::string localPathOf(const QString& shown);
    // Matches() for a version pattern ending in ".*[\x{00}]", in time linear
    // in the text: the part before ".*" spans at most 16 characters.
    // Patterns of another shape go to Matches().
    static std::vector<std::string> MatchesToLineNul(const std::string& regex, const std::string& text, bool firstOnly);

    static constexpr int64_t maxFileSize = 16 * 1024 * 1024;

private:
    std::string loaderFileName(int64_t chipID) const;
    std::string storeLoaderPath(const std::string& path);
};

}  // namespace quorvel
