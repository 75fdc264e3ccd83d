#include "model/FileAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QString>

#include "model/DataFolder.h"
#include "model/Log.h"
#include "model/Preferences.h"
#include "model/Sentinels.h"

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

std::vector<std::string> FileAccess::MatchesToLineNul(const std::string& regex, const std::string& text,
                                                      bool firstOnly) {
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
            const size_t begin = std::max(lineStart > kMaxPrefixSpan ? lineStart - kMaxPrefixSpan : 0, searchedUpTo);
            const size_t end = lastNul + 1;
            auto it = re.globalMatch(view.mid(static_cast<qsizetype>(begin), static_cast<qsizetype>(end - begin)));
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

namespace {

// The length of the valid UTF-8 sequence that starts at `i`, 0 when none does.
size_t utf8SequenceAt(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    if (lead < 0x80) return 1;
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;        // no overlong forms
        else if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        else if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < low || b(i + 1) > high) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

bool isUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8SequenceAt(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The path a stored text holds. Only a name that is not UTF-8 is stored
// percent-encoded, so the escapes are read only when what they give is not
// UTF-8 either; a literal name that happens to read so is still taken
// literally when only it exists.
std::string storedPath(const std::string& text) {
    if (text.find('%') == std::string::npos) return text;
    const QByteArray decoded = QByteArray::fromPercentEncoding(QByteArray::fromStdString(text));
    std::string path = decoded.toStdString();
    if (isUtf8(path) || (!exists(path) && exists(text))) return text;
    return path;
}

}  // namespace

QUrl FileAccess::fileURL(const std::string& text) {
    constexpr std::string_view scheme = "file://";
    if (text.size() <= scheme.size() || text.compare(0, scheme.size(), scheme) != 0) return {};
    const std::string path = storedPath(text.substr(scheme.size()));
    // Percent-encoded in the URL, so any byte survives it.
    const QByteArray encoded = QByteArray::fromStdString(path).toPercentEncoding("/");
    return QUrl::fromEncoded((path.starts_with('/') ? "file://" : "file:") + encoded, QUrl::StrictMode);
}

std::string FileAccess::fileURLText(const std::string& path) {
    if (isUtf8(path)) return "file://" + path;
    static const char* const hex = "0123456789ABCDEF";
    std::string text = "file://";
    for (size_t i = 0; i < path.size();) {
        const size_t n = utf8SequenceAt(path, i);
        if (n == 0 || path[i] == '%') {
            const auto b = static_cast<unsigned char>(path[i]);
            text += {'%', hex[b >> 4], hex[b & 0xF]};
            ++i;
        } else {
            text.append(path, i, n);
            i += n;
        }
    }
    return text;
}

std::optional<std::string> FileAccess::localPath(const QUrl& url) {
    if (!url.isValid() || !url.isLocalFile()) return std::nullopt;
    std::string path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    if (!url.host().isEmpty()) path = "//" + url.host().toStdString() + path;
    return path;
}

std::string FileAccess::localPathOf(const QString& shown) {
    const std::string encoded = QFile::encodeName(shown).toStdString();
    if (exists(encoded) || !shown.contains(QChar(QChar::ReplacementCharacter))) return encoded;
    // Resolved component by component; a shown name that two entries share
    // is left as it is, so it names nothing rather than the wrong file.
    std::string resolved;
    const QStringList parts = shown.split(QLatin1Char('/'));
    for (qsizetype k = 0; k < parts.size(); ++k) {
        const QString& part = parts[k];
        const std::string folder = k == 0 ? "." : resolved.empty() ? "/" : resolved;
        const auto within = [&](const std::string& name) { return k == 0 ? name : resolved + "/" + name; };
        std::string next = QFile::encodeName(part).toStdString();
        if (part.contains(QChar(QChar::ReplacementCharacter)) && !exists(within(next))) {
            std::optional<std::string> match;
            bool unique = true;
            if (DIR* dir = ::opendir(folder.c_str())) {
                while (const dirent* entry = ::readdir(dir)) {
                    if (QFile::decodeName(entry->d_name) != part) continue;
                    unique = !match;
                    match = entry->d_name;
                }
                ::closedir(dir);
            }
            if (match && unique) next = *match;
        }
        resolved = within(next);
    }
    return resolved;
}

std::optional<std::vector<uint8_t>> FileAccess::GetBinaryFile(const QUrl& filepath) {
    const auto local = localPath(filepath);
    if (!local) return std::nullopt;
    const std::string& path = *local;
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
    if (!bytes) return sentinel::noFirmwareFile;
    return ChipSignatureOf(*bytes);
}

std::string FileAccess::ChipSignatureOf(std::span<const uint8_t> image) const {
    const size_t kib = image.size() / 1024;
    if (kib != layout::firmwareSmallSize / 1024 && kib != layout::firmwareLargeSize / 1024)
        return sentinel::firmwareFileNotCorrect;
    const auto start =
        static_cast<size_t>(kib == layout::firmwareSmallSize / 1024 ? SIGNATURE_START : EXTEND_SIGNATURE_START);
    const auto length = static_cast<size_t>(SIGNATURE_LENGTH);
    bool erased = true;
    for (size_t i = 0; i < length; ++i) erased = erased && image[start + i] == 0xFF;
    if (erased) return sentinel::erasedSignature;
    return decodeSignature(image, start, length);
}

std::optional<std::span<const uint8_t>> FileAccess::FirmwareImageOf(std::span<const uint8_t> file) {
    const size_t kib = file.size() / 1024;
    if (kib != 64 && kib != 128) return std::nullopt;
    return file.first(kib * 1024);
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
    if (chipID == c.CHIP_SOLDA_B || chipID == c.CHIP_SOLDA_D || chipID == c.CHIP_SOLDA_E) return "ISP_USB_SK.bin";
    return "ISP_USB_VB.bin";
}

std::string FileAccess::storeLoaderPath(const std::string& path) {
    preferences().setString("ISPFilePath", path);
    preferences().sync();
    return fileURLText(path);
}

std::string FileAccess::USBGetISPFilePath(int64_t chipID) {
    const std::string name = loaderFileName(chipID);
    if (chipID == USBModels.constant.CHIP_TALMORE || chipID == USBModels.constant.CHIP_TALMORE_2) {
        writeLine(name.substr(0, name.size() - 4));
    }
    return storeLoaderPath((std::filesystem::path(dataFolder()) / "ISP_USB" / name).string());
}

std::string FileAccess::USBGetCLIISPFilePath(int64_t chipID) {
    return storeLoaderPath((std::filesystem::path(dataFolder()) / "ISP_USB" / loaderFileName(chipID)).string());
}

std::string FileAccess::AUXGetISPFilePath() {
    return storeLoaderPath((std::filesystem::path(dataFolder()) / "ISP_AUX" / "ISP_AUX.bin").string());
}

}  // namespace quorvel
