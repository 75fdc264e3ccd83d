#include "display/linux/SysfsDisplaySource.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quorvel {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxEdidSize = 32 * 1024;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (!in) return text;
    char buffer[256];
    in.read(buffer, sizeof buffer);
    text.assign(buffer, static_cast<size_t>(in.gcount()));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

std::vector<uint8_t> readBytes(const fs::path& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (!in) return bytes;
    bytes.resize(limit);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// Names compared with runs of digits as numbers: card0-DP-2 before card0-DP-10.
bool naturalLess(const std::string& a, const std::string& b) { return ::strverscmp(a.c_str(), b.c_str()) < 0; }

// "card0-HDMI-A-1" is a connector of type "HDMI-A"; "card0" alone is the card.
std::optional<std::string> connectorType(const std::string& name) {
    if (name.rfind("card", 0) != 0) return std::nullopt;
    const size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 4) return std::nullopt;
    if (!parseNumber<uint32_t>(std::string_view(name).substr(4, dash - 4))) return std::nullopt;
    std::string type = name.substr(dash + 1);
    const size_t last = type.rfind('-');
    if (last != std::string::npos && parseNumber<uint32_t>(std::string_view(type).substr(last + 1))) type.resize(last);
    return type;
}

std::optional<uint32_t> ddcBusOf(const fs::path& connector) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(connector / "ddc", ec);
    if (ec) return std::nullopt;
    const std::string name = target.filename().string();
    if (name.rfind("i2c-", 0) != 0) return std::nullopt;
    return parseNumber<uint32_t>(std::string_view(name).substr(4));
}

uint32_t cardOf(const std::string& name) {
    const size_t dash = name.find('-');
    return parseNumber<uint32_t>(std::string_view(name).substr(4, dash - 4)).value_or(0);
}

// The DP-AUX channel's I2C adapter sits in the connector's own folder.
std::vector<uint32_t> auxBusesOf(const fs::path& connector) {
    std::vector<uint32_t> buses;
    std::error_code ec;
    for (fs::directory_iterator it(connector, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        if (it->is_symlink(linkError) || !it->is_directory(linkError)) continue;
        const std::string name = it->path().filename().string();
        if (name.rfind("i2c-", 0) != 0) continue;
        if (auto n = parseNumber<uint32_t>(std::string_view(name).substr(4))) buses.push_back(*n);
    }
    std::sort(buses.begin(), buses.end());
    return buses;
}

bool hasBacklight(const fs::path& connector) {
    std::error_code ec;
    for (fs::directory_iterator it(connector, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        if (!it->is_directory(linkError) || it->is_symlink(linkError)) continue;
        const fs::path subsystem = fs::read_symlink(it->path() / "subsystem", linkError);
        if (!linkError && subsystem.filename() == "backlight") return true;
    }
    return false;
}

}  // namespace

std::optional<std::vector<ConnectorInfo>> SysfsDisplaySource::onlineConnectors(size_t limit) {
    std::error_code ec;
    fs::directory_iterator it(root_, ec);
    if (ec) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> names;  // name, type
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (auto type = connectorType(name)) names.emplace_back(name, *type);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return naturalLess(a.first, b.first); });

    std::vector<ConnectorInfo> out;
    for (const auto& [name, type] : names) {
        if (out.size() >= limit) break;
        const fs::path dir = fs::path(root_) / name;
        if (readText(dir / "status") != "connected") continue;
        ConnectorInfo c;
        c.name = name;
        c.type = type;
        c.card = cardOf(name);
        const auto id = parseNumber<uint32_t>(readText(dir / "connector_id"));
        c.displayID = displayIdentity(c.card, id, static_cast<uint32_t>(out.size() + 1));
        c.edid = readBytes(dir / "edid", kMaxEdidSize);
        c.ddcBus = ddcBusOf(dir);
        c.auxBuses = auxBusesOf(dir);
        c.hasBacklight = hasBacklight(dir);
        out.push_back(std::move(c));
    }
    makeDisplayIDsUnique(out);
    return out;
}

}  // namespace quorvel
