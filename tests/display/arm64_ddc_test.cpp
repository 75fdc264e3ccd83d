// The AV-service matching over registry fixtures: the walk, the scores,
// the discouraged and dummy checks and the greedy assignment.
#include <gtest/gtest.h>

#include "display/Arm64DDC.h"
#include "emu/AuxEmulatedPlatform.h"
#include "model/Settings.h"

namespace quorvel {
namespace {

DisplayInfo office(std::optional<int64_t> serial = std::nullopt) {
    DisplayInfo info;
    info.vendorID = 0x1234;
    info.productID = 0x5678;
    info.weekManufacture = 12;
    info.yearManufacture = 2020;
    info.horizontalImageSize = 597;
    info.verticalImageSize = 336;
    info.serialNumber = serial;
    info.productName = {{"de_DE", "Büro"}, {"en_US", "Office 27"}};
    return info;
}

const std::string kUUID = "12347856-0000-0000-0C1E-0104B53B2178";

StaticRegistryNode framebuffer(const std::string& uuid, const std::string& product = "", int64_t serial = 0,
                               const std::string& downstream = "DP", const std::string& manufacturer = "QRV") {
    RegistryDict productAttributes{{"ManufacturerID", manufacturer},
                                   {"ProductName", product},
                                   {"SerialNumber", serial}};
    return {"AppleCLCD2",
            {{"EDID UUID", uuid},
             {"DisplayAttributes", RegistryDict{{"ProductAttributes", productAttributes}}},
             {"Transport", RegistryDict{{"Upstream", "DP"}, {"Downstream", downstream}}}},
            nullptr};
}

StaticRegistryNode proxy(const std::string& location, std::shared_ptr<AVService> service = nullptr) {
    return {"DCPAVServiceProxy", {{"Location", location}}, std::move(service)};
}

std::shared_ptr<AVService> service() {
    return std::make_shared<emu::AuxEmulatedAVService>(std::make_shared<emu::AuxChip>());
}

TEST(Arm64DDC, TheEdidFragmentsOfTheExampleDisplayScoreEightAndEverythingThirteen) {
    StaticRegistry registry;
    registry.displays[1] = office(4242);
    const auto fragments = Arm64DDC::edidFragments(office());
    ASSERT_TRUE(fragments);
    std::vector<std::pair<std::string, int64_t>> keys;
    for (const auto& f : *fragments) keys.emplace_back(f.key, f.loc);
    EXPECT_EQ(keys,
              (std::vector<std::pair<std::string, int64_t>>{{"1234", 0}, {"7856", 4}, {"0C1E", 19}, {"3B21", 30}}));
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 1, kUUID, "", 0, 9), 8);
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 1, kUUID, "OFFICE 27", 4242, 1), Arm64DDC::MAX_MATCH_SCORE);
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 1, kUUID, "Office 28", 4243, 2), 8);
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 2, kUUID, "Office 27", 4242, 2), 0);  // no information
}

TEST(Arm64DDC, ClampsZeroKeysAndShortUUIDs) {
    DisplayInfo info = office();
    info.yearManufacture = 2300;
    info.productID = 0x12345;
    const auto clamped = Arm64DDC::edidFragments(info);
    EXPECT_EQ((*clamped)[1].key, "FFFF");
    EXPECT_EQ((*clamped)[2].key, "0CFF");

    StaticRegistry registry;
    info = office();
    info.weekManufacture = 0;
    info.yearManufacture = 1985;
    info.horizontalImageSize = 9;
    info.verticalImageSize = 5;
    info.vendorID = 0;
    registry.displays[1] = info;
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 1, "00000000-0000-0000-0000-000000000000", "", 0, 0), 0);

    // Shorter than loc + 4: its last four characters stand for every later fragment.
    info = office();
    info.weekManufacture = 0x78;
    info.yearManufacture = 1990 + 0x56;
    registry.displays[2] = info;
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 2, "99997856", "", 0, 0), 4);

    info.yearManufacture.reset();  // one missing number: no fragment counts
    registry.displays[3] = info;
    EXPECT_EQ(Arm64DDC::ioregMatchScore(registry, 3, kUUID, "office 27", 0, 3), 3);
}

TEST(Arm64DDC, TheWalkBuildsOneCandidatePerProxyAndCountsThem) {
    StaticRegistry registry;
    auto external = service();
    registry.nodes = {framebuffer("A"),
                      {"IOMobileFramebuffer", {}, nullptr},
                      proxy("Embedded", service()),
                      framebuffer("B"),
                      proxy("External", external),
                      proxy("External", external),
                      {"DCPAVServiceProxy", {}, service()}};
    const auto candidates = Arm64DDC::getIoregServicesForMatching(registry);
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(serviceMatchDisplayIDM1, 4);
    EXPECT_EQ(candidates[0].serviceLocation, 1);
    EXPECT_EQ(candidates[0].location, "Embedded");
    EXPECT_FALSE(candidates[0].service);
    EXPECT_EQ(candidates[1].edidUUID, "B");
    EXPECT_EQ(candidates[1].serviceLocation, 2);
    EXPECT_EQ(candidates[1].service, external);
    EXPECT_EQ(candidates[2].edidUUID, "B");  // the framebuffer data carries over
    EXPECT_EQ(candidates[1].transportDownstream, "DP");
    EXPECT_EQ(candidates[3].location, "External");  // a proxy without a location changes nothing

    registry.iteratorFails = true;
    EXPECT_TRUE(Arm64DDC::getIoregServicesForMatching(registry).empty());
    EXPECT_EQ(serviceMatchDisplayIDM1, 0);
    EXPECT_TRUE(Arm64DDC::getServiceMatches({1, 2}, registry).empty());
}

TEST(Arm64DDC, DiscouragedAndDummyConnections) {
    auto model = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    Arm64DDC::IOregService hdmi{.transportDownstream = "HDMI", .serviceLocation = 1};
    StaticRegistry registry;
    const std::vector<std::pair<std::optional<std::vector<uint8_t>>, bool>> cases = {
        {model(std::string("Macmini9,1\0", 11)), true},
        {model("MacBookPro18,3"), true},
        {model("iMac21,1"), false},
        {std::vector<uint8_t>{'M', 'a', 'c', 'm', 'i', 'n', 'i', '9', 0xFF}, false},
        {std::nullopt, false},
    };
    for (const auto& [m, expected] : cases) {
        registry.model = m;
        EXPECT_EQ(Arm64DDC::checkIfDiscouraged(registry, hdmi), expected);
    }
    registry.model = model("Macmini9,1");
    hdmi.serviceLocation = 2;
    EXPECT_FALSE(Arm64DDC::checkIfDiscouraged(registry, hdmi));

    EXPECT_TRUE(Arm64DDC::checkIfDummy({.manufacturerID = "AOC", .productName = "28E850"}));
    EXPECT_FALSE(Arm64DDC::checkIfDummy({.manufacturerID = "aoc", .productName = "28E850"}));
}

TEST(Arm64DDC, TheBestScoresAreAssignedFirstAndTiesGoByDisplayThenWalkOrder) {
    StaticRegistry registry;
    registry.model = std::vector<uint8_t>{'M', 'a', 'c', 'm', 'i', 'n', 'i', '9', ',', '1'};
    for (uint32_t id : {1u, 2u, 7u, 8u, 9u}) registry.displays[id] = office();
    auto s1 = service(), s2 = service();
    registry.nodes = {framebuffer(kUUID, "", 0, "HDMI"), proxy("External", s1), framebuffer(kUUID, "", 0, "DP"),
                      proxy("External", s2)};

    // Identical displays without location points: walk order breaks the tie.
    auto matches = Arm64DDC::getServiceMatches({7, 8}, registry);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].displayID, 7u);
    EXPECT_EQ(matches[0].service, s1);
    EXPECT_TRUE(matches[0].isDiscouraged);
    EXPECT_EQ(matches[1].displayID, 8u);
    EXPECT_EQ(matches[1].serviceLocation, 2);

    // The location point lifts display 2 onto the second connection first.
    matches = Arm64DDC::getServiceMatches({2, 1}, registry);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].displayID, 2u);
    EXPECT_EQ(matches[0].serviceLocation, 2);
    EXPECT_EQ(matches[1].displayID, 1u);
    EXPECT_EQ(matches[1].serviceLocation, 1);

    // More displays than connections, and a display without information.
    matches = Arm64DDC::getServiceMatches({7, 8, 9, 40}, registry);
    EXPECT_EQ(matches.size(), 2u);
    for (const auto& m : matches) EXPECT_NE(m.displayID, 40u);

    // A dummy is flagged whenever it is matched.
    registry.nodes[0] = framebuffer(kUUID, "28E850", 0, "DP", "AOC");
    matches = Arm64DDC::getServiceMatches({7}, registry);
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_TRUE(matches[0].isDummy);
}

}  // namespace
}  // namespace quorvel
