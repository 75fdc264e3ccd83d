#include "display/AUXAccess.h"

#include "display/AuxPacket.h"
#include "model/Preferences.h"
#include "model/Sentinels.h"
#include "model/SourceModel.h"

namespace quorvel {

namespace {

const std::string& kReplug = sentinel::replugDevice;

bool sendM1(const AUXAccess::Service& service, const std::optional<aux::Packet>& packet) {
    if (!service || !packet) return false;
    return service->writeI2C(aux::kChipAddress, aux::kDataAddress, *packet) == 0;
}

class M1Commands : public AuxCommands {
public:
    explicit M1Commands(const AUXAccess::Service& service) : s_(service) {}
    bool debugOn() override { return AUXAccess::DebugOnM1(s_); }
    bool reset() override { return AUXAccess::ResetM1(s_); }
    bool write(uint16_t a, uint16_t v) override { return AUXAccess::WriteM1(s_, a, v); }
    bool ramWrite(uint16_t s, std::span<const uint8_t> d) override { return AUXAccess::RamWriteM1(s_, s, d); }
    bool sendRamWriteCRC(uint16_t s, uint16_t c) override { return AUXAccess::SendRamWriteCRCM1(s_, s, c); }
    bool runCode(uint16_t a) override { return AUXAccess::RunCodeM1(s_, a); }
    bool flashErase() override { return AUXAccess::FlashEraseM1(s_); }
    bool beforeUpgrade() override { return false; }  // not on this transport; never asked for
    bool flashWrite(std::span<const uint8_t> d) override { return AUXAccess::FlashWriteM1(s_, d); }
    bool sendFlashWriteCRC(uint16_t c) override { return AUXAccess::SendFlashWriteCRCM1(s_, c); }

private:
    const AUXAccess::Service& s_;
};

}  // namespace

std::string AUXAccess::GetVersionM1(const Service& service) {
    if (!service) return kReplug;
    std::vector<uint8_t> collected;
    for (int pass = 0; pass < 4; ++pass) {
        if (!sendM1(service, aux::GetVersion())) return kReplug;
        std::vector<uint8_t> reply(aux::kVersionReplyLength, 0);
        if (service->readI2C(aux::kChipAddress, aux::kDataAddress, reply) != 0) {
            SourceModel::AlertHandler("ERROR", kReplug);
            return kReplug;
        }
        collected.insert(collected.end(), reply.begin() + (pass == 0 ? 2 : 0), reply.end());
    }
    std::string text = SourceModel::BackData(collected);
    text = text.substr(0, text.find('\0'));
    preferences().setString("FirmwareVersionM1", text);
    preferences().sync();
    return text;
}

bool AUXAccess::DebugOnM1(const Service& service) { return sendM1(service, aux::DebugOn()); }
bool AUXAccess::ResetM1(const Service& service) { return sendM1(service, aux::Reset()); }
bool AUXAccess::WriteM1(const Service& service, uint16_t address, uint16_t inputValue) {
    return sendM1(service, aux::Write(address, inputValue));
}
bool AUXAccess::SendRamWriteCRCM1(const Service& service, uint16_t serialNo, uint16_t crc) {
    return sendM1(service, aux::SendRamWriteCRC(serialNo, crc));
}
bool AUXAccess::RamWriteM1(const Service& service, uint16_t serialNo, std::span<const uint8_t> ISPData) {
    // An absent service sends nothing and feeds nothing to the CRC.
    return service && sendM1(service, aux::RamWrite(serialNo, ISPData));
}
bool AUXAccess::RunCodeM1(const Service& service, uint16_t address) { return sendM1(service, aux::RunCode(address)); }
bool AUXAccess::FlashEraseM1(const Service& service) { return sendM1(service, aux::FlashErase()); }
bool AUXAccess::SendFlashWriteCRCM1(const Service& service, uint16_t crc) {
    return sendM1(service, aux::SendFlashWriteCRC(crc));
}
bool AUXAccess::FlashWriteM1(const Service& service, std::span<const uint8_t> firmwareData) {
    return service && sendM1(service, aux::FlashWrite(firmwareData));
}

void AUXAccess::AUXFirmwareUpgradeM1(const Service& service, std::span<const uint8_t> ISPData,
                                     std::span<const uint8_t> firmwareData, uint64_t ramWriteSize,
                                     uint64_t flashWriteSize, const AuxProgressObserver& observer) {
    M1Commands commands(service);
    runAuxUpgrade(commands, AuxTiming::m1(), ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
}

}  // namespace quorvel
