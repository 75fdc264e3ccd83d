// The registry seam of the AV-service matching: a walk over the service
// plane, property reads, AV-service creation, the host model and the
// window system's information about a display. Linux has no such registry;
// src/emu/StaticRegistry serves fixtures and the emulator.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "display/AVService.h"

namespace quorvel {

struct RegistryValue;
using RegistryDict = std::map<std::string, RegistryValue>;
struct RegistryValue {
    std::variant<std::monostate, std::string, int64_t, bool, std::vector<uint8_t>, RegistryDict> value;

    RegistryValue() = default;
    RegistryValue(std::string s) : value(std::move(s)) {}
    RegistryValue(const char* s) : value(std::string(s)) {}
    RegistryValue(int64_t n) : value(n) {}
    RegistryValue(int n) : value(int64_t{n}) {}
    RegistryValue(bool b) : value(b) {}
    RegistryValue(std::vector<uint8_t> bytes) : value(std::move(bytes)) {}
    RegistryValue(RegistryDict d) : value(std::move(d)) {}

    const std::string* text() const { return std::get_if<std::string>(&value); }
    const int64_t* integer() const { return std::get_if<int64_t>(&value); }
    const RegistryDict* dict() const { return std::get_if<RegistryDict>(&value); }
};

// What the window system knows of one display (its information dictionary).
struct DisplayInfo {
    std::optional<int64_t> yearManufacture, weekManufacture, vendorID, productID;
    std::optional<int64_t> verticalImageSize, horizontalImageSize, serialNumber;
    std::vector<std::pair<std::string, std::string>> productName;  // locale, name; in order
    std::optional<bool> isVirtualDevice, isAirPlay;
};

class IORegistryEntry {
public:
    virtual ~IORegistryEntry() = default;
    virtual std::optional<std::string> name() const = 0;  // nothing when it cannot be read
    virtual std::optional<RegistryValue> property(const std::string& key) const = 0;
    virtual std::shared_ptr<AVService> createAVService() const = 0;  // nullptr when that fails
};

class IORegistryIterator {
public:
    virtual ~IORegistryIterator() = default;
    virtual std::shared_ptr<IORegistryEntry> next() = 0;  // nullptr at the end
};

class IORegistry {
public:
    virtual ~IORegistry() = default;
    // Recursive walk of the service plane from the root; nullptr when it
    // cannot be created.
    virtual std::unique_ptr<IORegistryIterator> servicePlane() = 0;
    // The "model" property of the platform expert device, as bytes.
    virtual std::optional<std::vector<uint8_t>> platformModel() = 0;
    virtual std::optional<DisplayInfo> displayInfo(uint32_t displayID) = 0;
};

}  // namespace quorvel
