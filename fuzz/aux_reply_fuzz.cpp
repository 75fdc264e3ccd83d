// How the display road reads a chip's version replies, on both transports:
// eight queries over the DDC bus (the first five replies searched for the
// model text) and four over an AV service (62 bytes taken as they are).
// Replies carry any bytes, and any query may fail.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Reference.h"
#include "display/AUXAccess.h"
#include "display/AuxPacket.h"
#include "model/Log.h"
#include "display/IntelDDC.h"
#include "model/Alert.h"
#include "model/Preferences.h"
#include "model/Settings.h"
#include "model/SourceModel.h"

using namespace quorvel;

namespace {

constexpr const char* kReplug = "Please replug the device again.";
constexpr uint32_t kBus = 3;

// One reply per query from the input: a control byte (from 0xF0 the query
// fails), then the 16 reply bytes, zeros once the input is used up.
struct Script {
    explicit Script(std::span<const uint8_t> input) : in(input) {}
    fuzz::ByteReader in;
    std::vector<std::vector<uint8_t>> replies;  // every reply handed out
    size_t failures = 0;
    size_t queries = 0;
    bool readFailed = false;
    bool fails() {
        const bool failed = in.byte() >= 0xF0;
        failures += failed;
        return failed;
    }
    void answer(std::span<uint8_t> out) {
        std::fill(out.begin(), out.end(), 0);
        const auto part = in.bytes(out.size());
        std::copy(part.begin(), part.end(), out.begin());
        replies.emplace_back(out.begin(), out.end());
    }
};

class ScriptedBus : public I2CBus {
public:
    explicit ScriptedBus(Script& script) : script_(script) {}
    std::optional<unsigned long> functionality() override { return kI2CFuncI2C; }
    TransferResult write(uint8_t, std::span<const uint8_t>) override { return {}; }
    TransferResult writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds,
                             std::span<uint8_t> reply) override {
        FUZZ_CHECK(address == aux::kChipAddress, "query to " + std::to_string(address));
        FUZZ_CHECK(std::vector<uint8_t>(data.begin(), data.end()) == aux::GetVersion(), fuzz::escaped(data));
        FUZZ_CHECK(reply.size() == aux::kVersionReplyLength, std::to_string(reply.size()));
        ++script_.queries;
        if (script_.fails()) return TransferResult::failed("version query", "scripted failure");
        script_.answer(reply);
        return {};
    }

private:
    Script& script_;
};

class OneBus : public I2CBusProvider {
public:
    explicit OneBus(Script& script) : script_(script) {}
    std::optional<std::vector<uint32_t>> buses() override { return std::vector<uint32_t>{kBus}; }
    bool exists(uint32_t number) override { return number == kBus; }
    std::unique_ptr<I2CBus> open(uint32_t number) override {
        return number == kBus ? std::make_unique<ScriptedBus>(script_) : nullptr;
    }

private:
    Script& script_;
};

class OneDisplay : public DisplaySource {
public:
    std::optional<std::vector<ConnectorInfo>> onlineConnectors(size_t) override {
        return std::vector<ConnectorInfo>{{1, "card0-DP-1", "DP", {}, kBus, false, 0, {}}};
    }
};

class ScriptedService : public AVService {
public:
    explicit ScriptedService(Script& script) : script_(script) {}
    int writeI2C(uint32_t chip, uint32_t dataAddress, std::span<const uint8_t> buffer) override {
        FUZZ_CHECK(chip == aux::kChipAddress && dataAddress == aux::kDataAddress, "addresses");
        FUZZ_CHECK(std::vector<uint8_t>(buffer.begin(), buffer.end()) == aux::GetVersion(), fuzz::escaped(buffer));
        ++script_.queries;
        return script_.fails() ? -1 : 0;
    }
    int readI2C(uint32_t chip, uint32_t dataAddress, std::span<uint8_t> buffer) override {
        FUZZ_CHECK(chip == aux::kChipAddress && dataAddress == aux::kDataAddress, "addresses");
        FUZZ_CHECK(buffer.size() == aux::kVersionReplyLength, std::to_string(buffer.size()));
        if (script_.fails()) {
            script_.readFailed = true;
            return -1;
        }
        script_.answer(buffer);
        return 0;
    }

private:
    Script& script_;
};

class CountedAlerts : public AlertSink {
public:
    void alert(const std::string& title, const std::string& text, AlertStyle) override {
        FUZZ_CHECK(title == "ERROR" && text == kReplug, title + ": " + text);
        ++count;
    }
    size_t count = 0;
};

std::string asciiText(const std::vector<uint8_t>& bytes) { return SourceModel::BackData(bytes); }

void overTheBus(Script& script) {
    DisplayPlatform platform{std::make_shared<OneDisplay>(), std::make_shared<OneBus>(script), nullptr};
    auto ddc = IntelDDC::create(1, std::nullopt, platform);
    FUZZ_CHECK(ddc != nullptr, "no transport for the display");
    serviceMatchDisplayIDIntel = 7;
    const std::string got = ddc->GetVersionIntel();
    if (script.failures > 0) {
        FUZZ_CHECK(got == kReplug && script.queries == script.replies.size() + 1,
                   "after a failed query: " + fuzz::escaped(got) + ", " + std::to_string(script.queries) + " queries");
        return;
    }
    FUZZ_CHECK(script.queries == 8, std::to_string(script.queries) + " queries");
    std::vector<uint8_t> kept;
    for (size_t pass = 0; pass < 5; ++pass)
        kept.insert(kept.end(), script.replies[pass].begin(), script.replies[pass].end());
    const std::string text = asciiText(kept);
    const auto models = fuzz::versionMatches(0, text);
    const auto shortModels = fuzz::versionMatches(4, text);
    std::string expected = !models.empty() ? models.front() : !shortModels.empty() ? shortModels.front() : "";
    expected = expected.substr(0, expected.find('\0'));
    FUZZ_CHECK(got == expected, "replies " + fuzz::escaped(text) + " gave " + fuzz::escaped(got) + ", expected " +
                                    fuzz::escaped(expected));
    FUZZ_CHECK(serviceMatchDisplayIDIntel == (models.empty() && shortModels.empty() ? 0 : 1),
               std::to_string(serviceMatchDisplayIDIntel.load()));
}

void overTheService(Script& script, CountedAlerts& alerts) {
    preferences().setString("FirmwareVersionM1", "before");
    serviceMatchDisplayIDIntel = 7;
    const std::string got = AUXAccess::GetVersionM1(std::make_shared<ScriptedService>(script));
    FUZZ_CHECK(serviceMatchDisplayIDIntel == 7, "the AV-service road touched the bus road's flag");
    if (script.failures > 0) {
        FUZZ_CHECK(got == kReplug, fuzz::escaped(got));
        FUZZ_CHECK(alerts.count == (script.readFailed ? 1u : 0u), std::to_string(alerts.count) + " alerts");
        FUZZ_CHECK(preferences().string("FirmwareVersionM1") == "before", "stored after a failure");
        return;
    }
    FUZZ_CHECK(script.queries == 4 && alerts.count == 0, std::to_string(script.queries) + " queries");
    std::vector<uint8_t> kept(script.replies[0].begin() + 2, script.replies[0].end());
    for (size_t pass = 1; pass < 4; ++pass)
        kept.insert(kept.end(), script.replies[pass].begin(), script.replies[pass].end());
    FUZZ_CHECK(kept.size() == 62, std::to_string(kept.size()));
    std::string expected = asciiText(kept);
    expected = expected.substr(0, expected.find('\0'));
    FUZZ_CHECK(got == expected, fuzz::escaped(got) + ", expected " + fuzz::escaped(expected));
    FUZZ_CHECK(preferences().string("FirmwareVersionM1") == expected, "stored text differs");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietSeams();
    setLogSink([](LogLevel, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool service = data[0] & 1;
    Script script({data + 1, size - 1});
    if (service) {
        auto alerts = std::make_shared<CountedAlerts>();
        const auto previous = setAlertSink(alerts);
        overTheService(script, *alerts);
        setAlertSink(previous);
    } else {
        overTheBus(script);
    }
    return 0;
}
