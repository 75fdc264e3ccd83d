// Matching of online external displays to AV-service connections found in
// the registry: a score per (display, connection) pair and a greedy
// assignment, best score first. Only hosts that reach displays through AV
// services use it; on Linux it is built and tested but inert.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/AVService.h"
#include "display/IORegistry.h"

namespace quorvel {

struct DisplayService {
    uint32_t displayID = 0;
    std::shared_ptr<AVService> service;
    int64_t serviceLocation = 0;
    bool isDiscouraged = false;
    bool isDummy = false;
};

class Arm64DDC {
public:
    // Whether this host reaches displays only through AV services: never on Linux.
    static constexpr bool isArm64 = false;
    static constexpr int MAX_MATCH_SCORE = 13;

    struct IOregService {
        std::string edidUUID;
        std::string manufacturerID;
        std::string productName;
        int64_t serialNumber = 0;
        std::string location;
        std::string transportUpstream;
        std::string transportDownstream;
        std::shared_ptr<AVService> service;
        int64_t serviceLocation = 0;
    };

    struct KeyLoc {
        std::string key;
        int64_t loc = 0;
    };

    // The whole matching, over the process's registry or a given one.
    static std::vector<DisplayService> getServiceMatches(const std::vector<uint32_t>& displayIDs);
    static std::vector<DisplayService> getServiceMatches(const std::vector<uint32_t>& displayIDs, IORegistry& registry);

    static std::vector<IOregService> getIoregServicesForMatching(IORegistry& registry);
    static int ioregMatchScore(IORegistry& registry, uint32_t displayID, const std::string& ioregEdidUUID,
                               const std::string& ioregProductName, int64_t ioregSerialNumber, int64_t serviceLocation);
    // The four EDID fragments of a display, in scoring order.
    static std::optional<std::vector<KeyLoc>> edidFragments(const DisplayInfo& info);
    static bool checkIfDiscouraged(IORegistry& registry, const IOregService& ioregService);
    static bool checkIfDummy(const IOregService& ioregService);
};

}  // namespace quorvel
