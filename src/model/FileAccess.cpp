#include "model/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include <QRegularExpression>
#include <QString>

#include "model/DataFolder.h"
#include "model/Log.h"
#include "model/Preferences.h"

namespace quorvel {

namespace {

const std::array<const char*, 5> kVersionPatterns = {
    R"(ZK\d{4}.*[\x{00}])",
    R"([A-Za-z_]{2}\w{3}\s\d\.[0-9]{2}[a-z_].*[\x{00}])",
    R"(V\.\d+\.\d+\.\d+\.\d+.*[\x{00}])",
    R"(\w{2}\.\w{4}\s\d\.\w{3}.*[\x{00}])",
    R"(ZK\d{2}x\d{1}.*[\x{00}])",
};
constexpr const char* kISPVersionPattern = R"(UsbFl[A-Z]{1}[0-9]{0,1}\s{1}v\d{2}.[0-9]{1}[\x{00}])";
constexpr std::string_view kToLineNul = R"(.*[\x{00}])";
// The longest text the version patterns match before their `.*`.
constexpr size_t kMaxPrefixSpan = 16;

bool isLineBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Compiled patterns are kept: the same few run on every file.
const QRegularExpression& compiled(const std::string& pattern) {
    static std::mutex mutex;
    static std::unordered_map<std::string, QRegularExpression> cache;
    std::lock_guard lock(mutex);
    auto it = cache.find(pattern);
    if (it == cache.end()) {
        // (*ANY) makes `.` stop at CR, VT and FF as well as LF.
        QRegularExpression re(QStringLiteral("(*ANY)") + QString::fromStdString(pattern));
        re.optimize();
        it = cache.emplace(pattern, std::move(re)).first;
    }
    return it->second;
}

std::string cutAtNul(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string decodeSignature(std::span<const uint8_t> bytes, size_t offset, size_t length) {
    const auto* p = reinterpret_cast<const char*>(bytes.data() + offset);
    return QString::fromUtf8(p, static_cast<qsizetype>(length)).toStdString();
}

}  // namespace

std::vector<std::string> FileAccess::Matches(const std::string& regex, const std::string& text) {
    std::vector<std::string> out;
    const QRegularExpression& re = compiled(regex);
    if (!re.isValid()) return out;
    const QString subject = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    auto it = re.globalMatch(subject);
    while (it.hasNext()) out.push_back(it.next().captured(0).toLatin1().toStdString());
    return out;
}

std::vector<std::string> FileAccess::MatchesToLineNul(const std::string& regex,
                                                      const std::string& text, bool firstOnly) {
    // A backtracking engine tries `.*` to the end of the line for every
    // candidate and backs off to the last NUL: quadratic on a long line full
    // of candidates without a NUL. A match of ".*[\x{00}]" ends at the last
    // NUL of the line where `.*` starts, so only lines holding a NUL can end
    // one, and the part before `.*` (which may cross a line break through
    // \s) reaches at most kMaxPrefixSpan characters back. Each such line is
    // searched once, together with that short lead-in.
    if (regex.size() <= kToLineNul.size() ||
        std::string_view(regex).substr(regex.size() - kToLineNul.size()) != kToLineNul) {
        auto all = Matches(regex, text);
        if (firstOnly && all.size() > 1) all.resize(1);
        return all;
    }
    std::vector<std::string> out;
    const QRegularExpression& re = compiled(regex);
    if (!re.isValid()) return out;
    const QString subject = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    const QStringView view(subject);

    size_t searchedUpTo = 0;
    for (size_t lineStart = 0; lineStart <= text.size();) {
        size_t lineEnd = lineStart;
        size_t lastNul = std::string::npos;
        for (; lineEnd < text.size() && !isLineBreak(text[lineEnd]); ++lineEnd)
            if (text[lineEnd] == '\0') lastNul = lineEnd;
        if (lastNul != std::string::npos) {
            const size_t begin =
                std::max(lineStart > kMaxPrefixSpan ? lineStart - kMaxPrefixSpan : 0, searchedUpTo);
            const size_t end = lastNul + 1;
            auto it = re.globalMatch(view.mid(static_cast<qsizetype>(begin),
                                              static_cast<qsizetype>(end - begin)));
            while (it.hasNext()) {
                out.push_back(it.next().captured(0).toLatin1().toStdString());
                if (firstOnly) return out;
            }
            searchedUpTo = end;
        }
        lineStart = lineEnd + 1;
    }
    return out;
}

std::string FileAccess::GetFwVersion(const std::string& FileContent) const {
    std::string taken = "None";
    for (const char* pattern : kVersionPatterns) {
        auto found = MatchesToLineNul(pattern, FileContent, true);
        if (!found.empty()) {
            taken = found.front();
            break;
        }
    }
    if (taken.find('\0') == std::string::npos) return "NoFwVersion";
    return cutAtNul(taken);
}

std::string FileAccess::GetISPVersion(const std::string& FileContent) const {
    auto found = Matches(kISPVersionPattern, FileContent);
    if (found.empty() || found.front().find('\0') == std::string::npos) return "NoVersionInfo";
    return cutAtNul(found.front());
}

QUrl FileAccess::fileURL(const std::string& text) {
    constexpr std::string_view scheme = "file://";
    if (text.size() <= scheme.size() || text.compare(0, scheme.size(), scheme) != 0) return {};
    return QUrl::fromLocalFile(QString::fromStdString(text.substr(scheme.size())));
}

std::optional<std::vector<uint8_t>> FileAccess::GetBinaryFile(const QUrl& filepath) {
    if (!filepath.isValid() || !filepath.isLocalFile()) return std::nullopt;
    const std::string path = filepath.toLocalFile().toStdString();
    // Non-blocking so that a FIFO without a writer cannot stall the open;
    // only regular files of a sane size are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::vector<uint8_t>> result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxFileSize) {
        std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
        size_t done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t r = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                failed = r < 0;
                break;
            }
            done += static_cast<size_t>(r);
        }
        if (!failed) {
            bytes.resize(done);  // a file that shrank while being read
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

std::string FileAccess::GetChipSignature() const {
    const auto stored = preferences().string("userSelectedPath");
    const auto bytes = GetBinaryFile(fileURL(stored.value_or("")));
    if (!bytes) return "NoFirmwareFile";
    return ChipSignatureOf(*bytes);
}

std::string FileAccess::ChipSignatureOf(std::span<const uint8_t> image) const {
    const size_t kib = image.size() / 1024;
    if (kib != layout::firmwareSmallSize / 1024 && kib != layout::firmwareLargeSize / 1024) return "FwFileNotCorrect";
    const auto start = static_cast<size_t>(kib == layout::firmwareSmallSize / 1024 ? SIGNATURE_START : EXTEND_SIGNATURE_START);
    const auto length = static_cast<size_t>(SIGNATURE_LENGTH);
    bool erased = true;
    for (size_t i = 0; i < length; ++i) erased = erased && image[start + i] == 0xFF;
    if (erased) return "Talmore";
    return decodeSignature(image, start, length);
}

std::string FileAccess::GetISPSignature() const {
    const auto stored = preferences().string("ISPFilePath");
    const auto bytes = stored ? GetBinaryFile(fileURL("file://" + *stored)) : std::nullopt;
    if (!bytes) return "The ISP file cannot be accessed!";
    return ISPSignatureOf(*bytes);
}

std::string FileAccess::ISPSignatureOf(std::span<const uint8_t> image) const {
    if (image.size() != layout::loaderSize) return "The ISP file is Not Correct.";
    return decodeSignature(image, layout::loaderSignatureOffset, static_cast<size_t>(SIGNATURE_LENGTH));
}

std::string FileAccess::loaderFileName(int64_t chipID) const {
    const Constants& c = USBModels.constant;
    if (chipID == c.CHIP_TALMORE) return "ISP_USB_TS.bin";
    if (chipID == c.CHIP_TALMORE_2) return "ISP_USB_TS2.bin";
    if (chipID == c.CHIP_SOLDA_B || chipID == c.CHIP_SOLDA_D || chipID == c.CHIP_SOLDA_E)
        return "ISP_USB_SK.bin";
    return "ISP_USB_VB.bin";
}

std::string FileAccess::storeLoaderPath(const std::string& path) {
    preferences().setString("ISPFilePath", path);
    preferences().sync();
    return "file://" + path;
}

std::string FileAccess::USBGetISPFilePath(int64_t chipID) {
    const std::string name = loaderFileName(chipID);
    if (chipID == USBModels.constant.CHIP_TALMORE || chipID == USBModels.constant.CHIP_TALMORE_2) {
        writeLine(name.substr(0, name.size() - 4));
    }
    return storeLoaderPath((std::filesystem::path(dataFolder()) / "ISP_USB" / name).string());
}

std::string FileAccess::USBGetCLIISPFilePath(int64_t chipID) {
    return storeLoaderPath(
        (std::filesystem::path(dataFolder()) / "ISP_USB" / loaderFileName(chipID)).string());
}

std::string FileAccess::AUXGetISPFilePath() {
    return storeLoaderPath((std::filesystem::path(dataFolder()) / "ISP_AUX" / "ISP_AUX.bin").string());
}

}  // namespace quorvel
