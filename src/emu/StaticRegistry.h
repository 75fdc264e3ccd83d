// A registry given as data, for the tests of the AV-service matching and for
// the emulator.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/IORegistry.h"

namespace quorvel {

struct StaticRegistryNode {
    std::optional<std::string> name;
    RegistryDict properties;
    std::shared_ptr<AVService> avService;  // what creating an AV service on it yields
};

// A registry given as a list of nodes in walk order.
class StaticRegistry : public IORegistry {
public:
    std::vector<StaticRegistryNode> nodes;
    bool iteratorFails = false;
    std::optional<std::vector<uint8_t>> model;
    std::map<uint32_t, DisplayInfo> displays;

    std::unique_ptr<IORegistryIterator> servicePlane() override;
    std::optional<std::vector<uint8_t>> platformModel() override { return model; }
    std::optional<DisplayInfo> displayInfo(uint32_t displayID) override;
};

}  // namespace quorvel
