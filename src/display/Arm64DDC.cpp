#include "display/Arm64DDC.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "model/Log.h"
#include "display/DisplayPlatform.h"
#include "model/Hex.h"
#include "model/Settings.h"

namespace quorvel {

namespace {

std::string hex2(int64_t value) { return hexDigits(static_cast<uint64_t>(std::clamp<int64_t>(value, 0, 255)), 2); }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool validUtf8(const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t b = bytes[i];
        size_t extra;
        if (b < 0x80) extra = 0;
        else if ((b & 0xE0) == 0xC0 && b >= 0xC2) extra = 1;
        else if ((b & 0xF0) == 0xE0) extra = 2;
        else if ((b & 0xF8) == 0xF0 && b <= 0xF4) extra = 3;
        else return false;
        if (bytes.size() - i - 1 < extra) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

std::string hostModel(IORegistry& registry) {
    const auto bytes = registry.platformModel();
    if (!bytes || !validUtf8(*bytes)) return {};
    std::string model(bytes->begin(), bytes->end());
    return model.substr(0, model.find('\0'));
}

const std::string* textOf(const RegistryDict& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : it->second.text();
}

Arm64DDC::IOregService frameBufferProperties(const IORegistryEntry& entry) {
    Arm64DDC::IOregService s;
    if (auto uuid = entry.property("EDID UUID"); uuid && uuid->text()) s.edidUUID = *uuid->text();
    if (auto attributes = entry.property("DisplayAttributes"); attributes && attributes->dict()) {
        auto product = attributes->dict()->find("ProductAttributes");
        if (product != attributes->dict()->end() && product->second.dict()) {
            const RegistryDict& p = *product->second.dict();
            if (auto t = textOf(p, "ManufacturerID")) s.manufacturerID = *t;
            if (auto t = textOf(p, "ProductName")) s.productName = *t;
            if (auto it = p.find("SerialNumber"); it != p.end() && it->second.integer())
                s.serialNumber = *it->second.integer();
        }
    }
    if (auto transport = entry.property("Transport"); transport && transport->dict()) {
        if (auto t = textOf(*transport->dict(), "Upstream")) s.transportUpstream = *t;
        if (auto t = textOf(*transport->dict(), "Downstream")) s.transportDownstream = *t;
    }
    return s;
}

void proxyProperties(const IORegistryEntry& entry, Arm64DDC::IOregService& s) {
    const auto location = entry.property("Location");
    if (!location || !location->text()) return;
    s.location = *location->text();
    writeLine("Location");
    if (s.location == "External") {
        writeLine("External");
        s.service = entry.createAVService();
    }
}

}  // namespace

std::vector<Arm64DDC::IOregService> Arm64DDC::getIoregServicesForMatching(IORegistry& registry) {
    writeLine("getIoregServicesForMatching");
    std::vector<IOregService> candidates;
    int64_t location = 0;
    IOregService building;
    if (auto iterator = registry.servicePlane()) {
        while (auto entry = iterator->next()) {
            const auto name = entry->name();
            if (!name) break;
            if (*name == "AppleCLCD2") {
                building = frameBufferProperties(*entry);
                building.serviceLocation = ++location;
            } else if (*name == "DCPAVServiceProxy") {
                proxyProperties(*entry, building);
                candidates.push_back(building);
            }
        }
    }
    serviceMatchDisplayIDM1 = static_cast<int64_t>(candidates.size());
    return candidates;
}

std::optional<std::vector<Arm64DDC::KeyLoc>> Arm64DDC::edidFragments(const DisplayInfo& info) {
    if (!info.yearManufacture || !info.weekManufacture || !info.vendorID || !info.productID ||
        !info.verticalImageSize || !info.horizontalImageSize)
        return std::nullopt;
    const int64_t vendor = std::clamp<int64_t>(*info.vendorID, 0, 0xFFFF);
    const int64_t product = std::clamp<int64_t>(*info.productID, 0, 0xFFFF);
    return std::vector<KeyLoc>{
        {hex2(vendor >> 8) + hex2(vendor & 0xFF), 0},
        {hex2(product & 0xFF) + hex2(product >> 8), 4},
        {hex2(*info.weekManufacture) + hex2(*info.yearManufacture - 1990), 19},
        {hex2(*info.horizontalImageSize / 10) + hex2(*info.verticalImageSize / 10), 30},
    };
}

int Arm64DDC::ioregMatchScore(IORegistry& registry, uint32_t displayID, const std::string& ioregEdidUUID,
                              const std::string& ioregProductName, int64_t ioregSerialNumber, int64_t serviceLocation) {
    const auto info = registry.displayInfo(displayID);
    if (!info) return 0;
    int score = 0;
    if (const auto fragments = edidFragments(*info)) {
        for (const KeyLoc& f : *fragments) {
            if (f.key == "0000") continue;
            const size_t end = std::min(ioregEdidUUID.size(), static_cast<size_t>(f.loc + 4));
            const size_t begin = end >= 4 ? end - 4 : 0;
            if (ioregEdidUUID.substr(begin, end - begin) == f.key) score += 2;
        }
    }
    if (!ioregProductName.empty() && !info->productName.empty()) {
        auto it = std::find_if(info->productName.begin(), info->productName.end(),
                               [](const auto& entry) { return entry.first == "en_US"; });
        const std::string& name = it != info->productName.end() ? it->second : info->productName.front().second;
        if (lower(name) == lower(ioregProductName)) score += 2;
    }
    if (ioregSerialNumber != 0 && info->serialNumber && *info->serialNumber == ioregSerialNumber) score += 2;
    if (serviceLocation == static_cast<int64_t>(displayID)) score += 1;
    return score;
}

bool Arm64DDC::checkIfDiscouraged(IORegistry& registry, const IOregService& s) {
    if (s.transportDownstream != "HDMI" || s.serviceLocation != 1) return false;
    const std::string model = hostModel(registry);
    return model.rfind("Macmini9", 0) == 0 || model.rfind("MacBookPro18", 0) == 0;
}

bool Arm64DDC::checkIfDummy(const IOregService& s) { return s.manufacturerID == "AOC" && s.productName == "28E850"; }

std::vector<DisplayService> Arm64DDC::getServiceMatches(const std::vector<uint32_t>& displayIDs) {
    auto registry = displayPlatform().registry;
    if (!registry) return {};
    return getServiceMatches(displayIDs, *registry);
}

std::vector<DisplayService> Arm64DDC::getServiceMatches(const std::vector<uint32_t>& displayIDs, IORegistry& registry) {
    const auto candidates = getIoregServicesForMatching(registry);
    std::vector<std::vector<DisplayService>> byScore(MAX_MATCH_SCORE + 1);
    for (uint32_t id : displayIDs) {
        for (const IOregService& c : candidates) {
            const int score =
                ioregMatchScore(registry, id, c.edidUUID, c.productName, c.serialNumber, c.serviceLocation);
            byScore[static_cast<size_t>(std::clamp(score, 0, MAX_MATCH_SCORE))].push_back(
                {id, c.service, c.serviceLocation, checkIfDiscouraged(registry, c), checkIfDummy(c)});
        }
    }
    std::vector<DisplayService> accepted;
    std::set<uint32_t> takenDisplays;
    std::set<int64_t> takenLocations;
    for (int score = MAX_MATCH_SCORE; score >= 1; --score) {
        for (const DisplayService& entry : byScore[static_cast<size_t>(score)]) {
            if (takenDisplays.count(entry.displayID) || takenLocations.count(entry.serviceLocation)) continue;
            takenDisplays.insert(entry.displayID);
            takenLocations.insert(entry.serviceLocation);
            accepted.push_back(entry);
        }
    }
    return accepted;
}

}  // namespace quorvel
