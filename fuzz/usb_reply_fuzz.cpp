// How the USB engine reads what a chip answers: the version reply, register
// reads, the chip identifier, the manual debug entry and the flash loop's
// page status, with replies of any content and length and failed transfers.
// Each is checked against the wire format read plainly, request by request.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "model/Errors.h"
#include "model/Settings.h"
#include "model/SourceModel.h"
#include "usb/USBAccess.h"

using namespace quorvel;

namespace {

struct Request {
    ControlSetup setup;
    std::vector<uint8_t> sent;    // the buffer as handed over (pre-filled for IN)
    std::vector<uint8_t> answer;  // the buffer after the transfer
    int32_t status = 0;
};

// Answers each transfer from the input: a control byte, then for an IN
// transfer that many reply bytes (cut to wLength; fewer when the input ends).
// Control bytes from 0xF0 fail the transfer.
class ScriptedChip : public ControlTransport {
public:
    explicit ScriptedChip(fuzz::ByteReader& in) : in_(in) {}
    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override {
        Request r{setup, {data.begin(), data.end()}, {}, 0};
        FUZZ_CHECK(setup.wLength == data.size(),
                   "wLength " + std::to_string(setup.wLength) + " for " + std::to_string(data.size()) + " bytes");
        const uint8_t control = in_.byte();
        if (control >= 0xF0) {
            r.status = -(control - 0xEF);
        } else if (setup.bmRequestType & 0x80) {
            const auto reply = in_.bytes(std::min<size_t>(control, data.size()));
            std::copy(reply.begin(), reply.end(), data.begin());
        }
        r.answer.assign(data.begin(), data.end());
        requests.push_back(std::move(r));
        return requests.back().status;
    }
    std::vector<Request> requests;

private:
    fuzz::ByteReader& in_;
};

const SourceModel model;

std::vector<uint8_t> readBuffer(uint16_t address) {
    std::vector<uint8_t> b{0x05, model.cmd.read, uint8_t(address >> 8), uint8_t(address), 0, 0, 0, 0, 0, 0, 0};
    b[10] = SourceModel::CalCheckSum(std::span(b).first(10));
    return b;
}

// The register value a read reply gives.
int64_t valueOf(const std::vector<uint8_t>& b) {
    if (b[2] * 256 + b[3] == 0x860C) return b[0];
    return b[4] * 256 + b[5];
}

void checkRead(const Request& r, uint16_t address) {
    const ControlSetup expected{0xC1, model.cmd.read, address, 0xFFFF, 11};
    FUZZ_CHECK(r.setup == expected, "read setup of " + std::to_string(address));
    FUZZ_CHECK(r.sent == readBuffer(address), "read buffer " + fuzz::escaped(r.sent));
}

void checkWrite(const Request& r, uint16_t address, uint16_t value) {
    const ControlSetup setup{0x41, model.cmd.write, 0, 0, 7};
    const std::vector<uint8_t> frame{
        7, model.cmd.write, uint8_t(address >> 8), uint8_t(address), uint8_t(value >> 8), uint8_t(value), 0};
    FUZZ_CHECK(r.setup == setup && r.sent == frame, "write of " + std::to_string(value) + " to " +
                                                        std::to_string(address) + " sent " + fuzz::escaped(r.sent));
}

void versionReply(USBAccess& device, ScriptedChip& chip) {
    std::string got;
    bool failed = false;
    try {
        got = device.GetVersion();
    } catch (const Errors::USBDeviceError& e) {
        failed = true;
        got = e.desc();
    }
    FUZZ_CHECK(chip.requests.size() == 1, std::to_string(chip.requests.size()) + " requests");
    const Request& r = chip.requests.back();
    std::vector<uint8_t> prefilled(64, 0);
    prefilled[0] = 0x03;
    prefilled[1] = model.cmd.getVersion;
    prefilled[63] = 0xF5;
    FUZZ_CHECK(r.setup == (ControlSetup{0xC1, model.cmd.getVersion, 0xFFFF, 0xFFFF, 64}) && r.sent == prefilled,
               "version request " + fuzz::escaped(r.sent));
    if (r.status != 0) {
        FUZZ_CHECK(failed && got == "Get device status request error: " + std::to_string(r.status), got);
        return;
    }
    FUZZ_CHECK(!failed, got);
    const size_t length = r.answer[0];
    std::string expected;
    if (length < 3) {
        expected = "Please replug the device again.";
    } else {
        for (size_t i = 2; i < std::min<size_t>(length, 64) - 1 && r.answer[i] != 0; ++i)
            if (r.answer[i] < 0x80) expected.push_back(static_cast<char>(r.answer[i]));
    }
    FUZZ_CHECK(got == expected, "reply " + fuzz::escaped(r.answer) + " gave " + fuzz::escaped(got));
    FUZZ_CHECK(expected.size() <= 61, std::to_string(expected.size()));
}

void registerRead(USBAccess& device, ScriptedChip& chip, uint16_t address) {
    const std::vector<uint8_t> before = device.backData;
    bool failed = false;
    try {
        device.Read(address);
    } catch (const Errors::USBDeviceError&) {
        failed = true;
    }
    const Request& r = chip.requests.back();
    checkRead(r, address);
    FUZZ_CHECK(failed == (r.status != 0), "status " + std::to_string(r.status));
    // A failed read leaves the last good reply in place.
    FUZZ_CHECK(device.backData == (failed ? before : r.answer), fuzz::escaped(device.backData));
    if (!failed) FUZZ_CHECK(USBAccess::ReadOutInfoInt(device.backData) == valueOf(r.answer), "value");
}

void chipID(USBAccess& device, ScriptedChip& chip) {
    int64_t id = -1;
    bool failed = false;
    try {
        id = device.GetChipID();
    } catch (const Errors::customErrors& e) {
        failed = e == Errors::customErrors::readChipIDError;
        FUZZ_CHECK(failed, "another error than readChipIDError");
    }
    const auto& rs = chip.requests;
    FUZZ_CHECK(!rs.empty() && rs.size() <= 2, std::to_string(rs.size()) + " requests");
    checkRead(rs[0], 0x8910);
    if (rs[0].status != 0) {
        FUZZ_CHECK(failed && rs.size() == 1, "first read failed");
        return;
    }
    const int64_t first = valueOf(rs[0].answer);
    if (first != 0) {
        FUZZ_CHECK(!failed && rs.size() == 1 && id == first, std::to_string(id));
        return;
    }
    FUZZ_CHECK(rs.size() == 2, "no second read after an identifier of 0");
    checkRead(rs[1], 0x89FC);
    if (rs[1].status != 0) FUZZ_CHECK(failed, "second read failed");
    else FUZZ_CHECK(!failed && id == valueOf(rs[1].answer), std::to_string(id));
}

// The register dance of the manual debug entry, request by request.
void manualDebug(USBAccess& device, ScriptedChip& chip, int64_t chipID) {
    const bool result = device.DebugOnManual(chipID);
    const Constants& c = model.constant;
    const bool talmore = chipID == c.CHIP_TALMORE;
    uint16_t r = talmore ? 0x0A06 : chipID == c.CHIP_VIRREN_A ? 0x0ED6 : chipID == c.CHIP_VIRREN_B ? 0x1304 : 0;
    const auto& rs = chip.requests;
    size_t at = 0;
    auto next = [&]() -> const Request* { return at < rs.size() ? &rs[at++] : nullptr; };
    auto stopped = [&](const Request* q) {
        FUZZ_CHECK(q != nullptr, "sequence cut short");
        if (q->status == 0) return false;
        FUZZ_CHECK(!result && at == rs.size(), "went on after a failed request");
        return true;
    };
    const Request* q = next();
    if (stopped(q)) return;
    checkRead(*q, r);
    int64_t v = valueOf(q->answer);
    if (talmore && v == 0x49) {
        r = 0x0A74;
        q = next();
        if (stopped(q)) return;
        checkRead(*q, r);
        v = valueOf(q->answer);
    }
    q = next();
    if (stopped(q)) return;
    checkWrite(*q, r, static_cast<uint16_t>(v | 1));
    q = next();
    if (stopped(q)) return;
    checkWrite(*q, talmore ? 0x8900 : 0x8800, 0);
    q = next();
    if (stopped(q)) return;
    checkRead(*q, 0x8088);
    const int64_t status = valueOf(q->answer);
    q = next();
    if (stopped(q)) return;
    checkWrite(*q, 0x8088, static_cast<uint16_t>(status & ~int64_t{0x80}));
    FUZZ_CHECK(result && at == rs.size(), "true after all six steps, and nothing more");
}

// The flash loop: each page is confirmed by a status read; the first page
// whose status is not success ends the write with nothing sent after it.
void flashPages(USBAccess& device, ScriptedChip& chip, fuzz::ByteReader& in) {
    const size_t packet = (in.byte() & 1) ? 64 : 8;
    maxPktSize = static_cast<int64_t>(packet);
    std::vector<uint8_t> image(1 + (in.byte() | in.byte() << 8) % 2048);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    bool failed = false;
    try {
        device.FlashWrite(image);
    } catch (const std::exception&) {
        failed = true;
    }
    size_t written = 0;
    size_t at = 0;
    const auto& rs = chip.requests;
    while (written < image.size()) {
        for (size_t k = 1; k <= 256 / packet && written < image.size(); ++k) {
            FUZZ_CHECK(at < rs.size(), "page cut short at byte " + std::to_string(written));
            const Request& p = rs[at++];
            const size_t n = std::min(packet, image.size() - written);
            const ControlSetup setup{0x41, model.cmd.flashWrite,
                                     static_cast<uint16_t>((k == 256 / packet ? 1 : 0) << 8 | ((written >> 16) & 0xFF)),
                                     static_cast<uint16_t>(written & 0xFFFF), static_cast<uint16_t>(n)};
            FUZZ_CHECK(p.setup == setup, "flash packet at " + std::to_string(written));
            FUZZ_CHECK(std::equal(p.sent.begin(), p.sent.end(), image.begin() + static_cast<std::ptrdiff_t>(written),
                                  image.begin() + static_cast<std::ptrdiff_t>(written + n)),
                       "flash data at " + std::to_string(written));
            if (p.status != 0) {
                FUZZ_CHECK(failed && at == rs.size(), "went on after a failed flash packet");
                return;
            }
            written += n;
        }
        FUZZ_CHECK(at < rs.size(), "no status read after the page ending at " + std::to_string(written));
        const Request& s = rs[at++];
        checkRead(s, 0x860C);
        if (s.status != 0 || valueOf(s.answer) != model.upgrade.success) {
            FUZZ_CHECK(failed && at == rs.size(), "went on after a failed page");
            return;
        }
    }
    FUZZ_CHECK(!failed && at == rs.size(), "reported failure after every page was confirmed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietSeams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader in({data, size});
    auto chip = std::make_shared<ScriptedChip>(in);
    USBAccess device(USBDevice{.id = 1,
                               .vendorId = 0x0BDA,
                               .productId = 0x6221,
                               .name = "fuzz",
                               .deviceInterfacePtrPtr = chip,
                               .plugInInterfacePtrPtr = nullptr});
    const auto& table = model.chipTable;
    while (!in.empty()) {
        chip->requests.clear();
        switch (in.byte() % 6) {
        case 0: versionReply(device, *chip); break;
        case 1: registerRead(device, *chip, static_cast<uint16_t>(in.byte() << 8 | in.byte())); break;
        case 2: chipID(device, *chip); break;
        case 3: {
            const uint8_t pick = in.byte();
            manualDebug(device, *chip, pick < table.size() ? table[pick].chipNameValue : pick);
            break;
        }
        case 4: flashPages(device, *chip, in); break;
        default: {
            // Replies shorter than a read's 11 bytes, as a caller might pass them.
            const auto part = in.bytes(in.byte() % 12);
            const std::vector<uint8_t> b(part.begin(), part.end());
            std::vector<uint8_t> padded = b;
            padded.resize(11, 0);
            FUZZ_CHECK(USBAccess::ReadOutInfoInt(b) == valueOf(padded), fuzz::escaped(b));
        }
        }
    }
    return 0;
}
