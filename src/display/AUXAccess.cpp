#include "display/AUXAccess.h"

#include "display/AuxPacket.h"
#include "model/Preferences.h"
#include "model/Sentinels.h"
#include "model/SourceModel.h"

namespace quorvel {

namespace {

const std::string& kReplug = sentinel::replugDevice;

TransferResult sendM1(const char* command, const AUXAccess::Service& service, const aux::Packet& packet) {
    if (!service) return TransferResult::failed(command, "no AV service");
    if (const int status = service->writeI2C(aux::kChipAddress, aux::kDataAddress, packet); status != 0)
        return TransferResult::failed(std::string(command) + ": IOAVServiceWriteI2C",
                                      "status " + std::to_string(status));
    return {};
}

class M1Commands : public AuxCommands {
public:
    explicit M1Commands(const AUXAccess::Service& service) : s_(service) {}
    TransferResult debugOn() override { return AUXAccess::DebugOnM1(s_); }
    TransferResult reset() override { return AUXAccess::ResetM1(s_); }
    TransferResult write(uint16_t a, uint16_t v) override { return AUXAccess::WriteM1(s_, a, v); }
    TransferResult ramWrite(uint16_t s, std::span<const uint8_t> d, AuxTransfer& t) override {
        return AUXAccess::RamWriteM1(s_, s, d, t);
    }
    TransferResult sendRamWriteCRC(uint16_t s, uint16_t c) override { return AUXAccess::SendRamWriteCRCM1(s_, s, c); }
    TransferResult runCode(uint16_t a) override { return AUXAccess::RunCodeM1(s_, a); }
    TransferResult flashErase() override { return AUXAccess::FlashEraseM1(s_); }
    // Not on this transport; never asked for.
    TransferResult beforeUpgrade() override { return TransferResult::failed("BeforeUpgrade", "not on an AV service"); }
    TransferResult flashWrite(std::span<const uint8_t> d, AuxTransfer& t) override {
        return AUXAccess::FlashWriteM1(s_, d, t);
    }
    TransferResult sendFlashWriteCRC(uint16_t c) override { return AUXAccess::SendFlashWriteCRCM1(s_, c); }

private:
    const AUXAccess::Service& s_;
};

}  // namespace

std::string AUXAccess::GetVersionM1(const Service& service) {
    if (!service) return kReplug;
    std::vector<uint8_t> collected;
    for (int pass = 0; pass < 4; ++pass) {
        if (!sendM1("GetVersion", service, aux::GetVersion())) return kReplug;
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

TransferResult AUXAccess::DebugOnM1(const Service& service) { return sendM1("DebugOn", service, aux::DebugOn()); }
TransferResult AUXAccess::ResetM1(const Service& service) { return sendM1("Reset", service, aux::Reset()); }
TransferResult AUXAccess::WriteM1(const Service& service, uint16_t address, uint16_t inputValue) {
    return sendM1("Write", service, aux::Write(address, inputValue));
}
TransferResult AUXAccess::SendRamWriteCRCM1(const Service& service, uint16_t serialNo, uint16_t crc) {
    return sendM1("SendRamWriteCRC", service, aux::SendRamWriteCRC(serialNo, crc));
}
TransferResult AUXAccess::RamWriteM1(const Service& service, uint16_t serialNo, std::span<const uint8_t> ISPData,
                                     AuxTransfer& transfer) {
    // An absent service sends nothing and feeds nothing to the CRC.
    if (!service) return TransferResult::failed("RamWrite", "no AV service");
    const auto packet = aux::RamWrite(serialNo, ISPData, transfer);
    if (!packet) return TransferResult::failed("RamWrite", aux::chunkOutside(transfer.ISPBufferCount, ISPData.size()));
    return sendM1("RamWrite", service, *packet);
}
TransferResult AUXAccess::RunCodeM1(const Service& service, uint16_t address) {
    return sendM1("RunCode", service, aux::RunCode(address));
}
TransferResult AUXAccess::FlashEraseM1(const Service& service) {
    return sendM1("FlashErase", service, aux::FlashErase());
}
TransferResult AUXAccess::SendFlashWriteCRCM1(const Service& service, uint16_t crc) {
    return sendM1("SendFlashWriteCRC", service, aux::SendFlashWriteCRC(crc));
}
TransferResult AUXAccess::FlashWriteM1(const Service& service, std::span<const uint8_t> firmwareData,
                                       AuxTransfer& transfer) {
    if (!service) return TransferResult::failed("FlashWrite", "no AV service");
    const auto packet = aux::FlashWrite(firmwareData, transfer);
    if (!packet)
        return TransferResult::failed("FlashWrite",
                                      aux::chunkOutside(transfer.firmwareBufferCount, firmwareData.size()));
    return sendM1("FlashWrite", service, *packet);
}

void AUXAccess::AUXFirmwareUpgradeM1(const Service& service, std::span<const uint8_t> ISPData,
                                     std::span<const uint8_t> firmwareData, uint64_t ramWriteSize,
                                     uint64_t flashWriteSize, const ProgressObserver& observer) {
    M1Commands commands(service);
    runAuxUpgrade(commands, AuxTiming::m1(), ISPData, firmwareData, ramWriteSize, flashWriteSize, observer);
}

}  // namespace quorvel
