// The chip model driven with raw control transfers, independently of the
// host engine: replies, state machine, refusals, faults, transcript, threads.
#include <libusb-1.0/libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "emu/EmulatedControlTransport.h"
#include "emu/UsbChip.h"

namespace quorvel::emu {
namespace {

static_assert(kLibusbErrorIo == LIBUSB_ERROR_IO);
static_assert(kLibusbErrorNoDevice == LIBUSB_ERROR_NO_DEVICE);
static_assert(kLibusbErrorTimeout == LIBUSB_ERROR_TIMEOUT);
static_assert(kLibusbErrorPipe == LIBUSB_ERROR_PIPE);

using Bytes = std::vector<uint8_t>;

uint8_t cks(const Bytes& b) {
    uint8_t s = 0;
    for (uint8_t x : b) s = static_cast<uint8_t>(s + x);
    return static_cast<uint8_t>(0 - s);
}

// A minimal host speaking the wire protocol, written here from the protocol
// so that the chip model is tested on its own.
struct Host {
    UsbChip& chip;
    Bytes lastIn{};

    Outcome out(uint8_t request, Bytes data, uint16_t wValue = 0, uint16_t wIndex = 0) {
        ControlSetup s{0x41, request, wValue, wIndex, static_cast<uint16_t>(data.size())};
        return chip.handle(s, data).outcome;
    }
    Outcome in(uint8_t request, uint16_t wValue, uint16_t wLength) {
        lastIn.assign(wLength, 0xEE);
        auto r = chip.handle({0xC1, request, wValue, 0xFFFF, wLength}, lastIn);
        lastIn.resize(r.transferred);
        return r.outcome;
    }
    Outcome read(uint16_t a) { return in(0x06, a, 11); }
    Outcome debugOn() { return out(0x09, {3, 9, 0}); }
    Outcome reset(uint8_t n) { return out(0x20, {4, 0x20, n, 0}); }
    Outcome write(uint16_t a, uint16_t v) {
        return out(0x07, {7, 7, uint8_t(a >> 8), uint8_t(a), uint8_t(v >> 8), uint8_t(v), 0});
    }
    Outcome ram(uint16_t a, const Bytes& data) {
        Bytes f{uint8_t(data.size() + 5), 0x13, uint8_t(a >> 8), uint8_t(a)};
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(0);
        f.back() = cks(f);
        return out(0x13, f);
    }
    Outcome run(uint16_t a) { return out(0x1D, {5, 0x1D, uint8_t(a >> 8), uint8_t(a), 0}); }
    Outcome erase() { return out(0x19, {0, 0}); }
    Outcome packet(uint32_t a, bool last, const Bytes& data) {
        return out(0x10, data, uint16_t((last ? 0x100 : 0) | (a >> 16)), uint16_t(a));
    }
    void prepare() {
        for (uint16_t r : {0x80AD, 0x80C0, 0x80C9, 0x80D1, 0x80D9, 0x80E1, 0x80E9}) ASSERT_EQ(write(r, 0), Outcome::Ok);
    }
    void toErased() {
        ASSERT_EQ(debugOn(), Outcome::Ok);
        prepare();
        ASSERT_EQ(ram(0x2000, {1, 2, 3}), Outcome::Ok);
        ASSERT_EQ(run(0x2000), Outcome::Ok);
        ASSERT_EQ(erase(), Outcome::Ok);
    }
    // Writes `pages` full pages of `fill` in 64-byte packets.
    void writePages(uint32_t from, int pages, uint8_t fill) {
        for (int p = 0; p < pages; ++p)
            for (int k = 0; k < 4; ++k)
                ASSERT_EQ(packet(from + p * 256 + k * 64, k == 3, Bytes(64, fill)), Outcome::Ok);
    }
};

TEST(UsbChip, RegisterReadEchoesAddressAndValueUnderAChecksum) {
    UsbChip chip({.registers = {{0x1234, 0xBEEF}}});
    Host h{chip};
    ASSERT_EQ(h.read(0x1234), Outcome::Ok);
    Bytes expected{0x0B, 0x06, 0x12, 0x34, 0xBE, 0xEF, 0, 0, 0, 0};
    expected.push_back(cks(expected));
    EXPECT_EQ(h.lastIn, expected);
}

TEST(UsbChip, StatusRegisterIsAnsweredByOneByte) {
    UsbChip chip;
    Host h{chip};
    ASSERT_EQ(h.read(UsbChip::kStatusRegister), Outcome::Ok);
    EXPECT_EQ(h.lastIn, Bytes{0x00});  // no page written yet
    h.toErased();
    h.writePages(0, 1, 0x5A);
    ASSERT_EQ(h.read(UsbChip::kStatusRegister), Outcome::Ok);
    EXPECT_EQ(h.lastIn, Bytes{UsbChip::kPageOk});
}

TEST(UsbChip, VersionReplyCarriesLengthCodeTextAndIsCutToWLength) {
    UsbChip chip({.versionText = "ZK61 v2"});
    Host h{chip};
    ASSERT_EQ(h.in(0x08, 0xFFFF, 64), Outcome::Ok);
    EXPECT_EQ(h.lastIn, (Bytes{10, 0x08, 'Z', 'K', '6', '1', ' ', 'v', '2', 0}));
    ASSERT_EQ(h.in(0x08, 0xFFFF, 4), Outcome::Ok);
    EXPECT_EQ(h.lastIn, (Bytes{10, 0x08, 'Z', 'K'}));

    UsbChip raw({.versionReply = Bytes{2, 8}});
    Host r{raw};
    ASSERT_EQ(r.in(0x08, 0xFFFF, 64), Outcome::Ok);
    EXPECT_EQ(r.lastIn, (Bytes{2, 8}));
}

TEST(UsbChip, ChipIdentifierSitsInOneOfTwoRegisters) {
    struct Case {
        UsbChipOptions options;
        uint16_t first, second;
    };
    const Case cases[] = {
        {{.chipId = 0xA1}, 0xA1, 0},
        {{.chipId = 0xA0, .chipIdInSecondRegister = true}, 0, 0xA0},
        {{.chipId = 0}, 0, 0},
    };
    for (const auto& c : cases) {
        UsbChip chip(c.options);
        EXPECT_EQ(chip.reg(UsbChip::kChipIdRegister), c.first);
        EXPECT_EQ(chip.reg(UsbChip::kChipIdRegister2), c.second);
    }
}

TEST(UsbChip, DebugModeByCommandOrByTheRegisterSequenceOfItsChip) {
    struct Case {
        const char* name;
        int64_t chip;
        uint16_t reg0A06;
        uint16_t enable;  // register whose bit 0 the host sets
        uint16_t halt;
        ChipState expected;
    };
    const Case cases[] = {
        {"Talmore", 0x00, 0x4A, 0x0A06, 0x8900, ChipState::Debug},
        {"Talmore with 0x49", 0x00, 0x49, 0x0A74, 0x8900, ChipState::Debug},
        {"Talmore with 0x49, wrong register", 0x00, 0x49, 0x0A06, 0x8900, ChipState::Idle},
        {"Virren A", 0xA1, 0x4A, 0x0ED6, 0x8800, ChipState::Debug},
        {"Virren B", 0xA3, 0x4A, 0x1304, 0x8800, ChipState::Debug},
        {"Virren B, wrong halt register", 0xA3, 0x4A, 0x1304, 0x8900, ChipState::Idle},
        {"Solda D has no manual way", 0x03, 0x4A, 0x0ED6, 0x8800, ChipState::Idle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsbChip chip({.chipId = c.chip, .registers = {{0x0A06, c.reg0A06}}});
        Host h{chip};
        ASSERT_EQ(h.write(c.enable, chip.reg(c.enable) | 1), Outcome::Ok);
        ASSERT_EQ(h.write(c.halt, 0), Outcome::Ok);
        ASSERT_EQ(h.write(0x8088, chip.reg(0x8088) & ~0x80), Outcome::Ok);
        EXPECT_EQ(chip.state(), c.expected);
    }
    UsbChip chip({.chipId = 0x03});
    Host h{chip};
    ASSERT_EQ(h.debugOn(), Outcome::Ok);
    EXPECT_EQ(chip.state(), ChipState::Debug);
}

TEST(UsbChip, LoadsRunsErasesAndProgramsPageByPage) {
    UsbChip chip({.chipId = 0x03, .flashSize = 4096});
    Host h{chip};
    ASSERT_EQ(h.debugOn(), Outcome::Ok);
    h.prepare();
    ASSERT_EQ(h.ram(0x2000, {1, 2, 3}), Outcome::Ok);
    ASSERT_EQ(h.ram(0x2003, {4}), Outcome::Ok);
    EXPECT_EQ(chip.state(), ChipState::LoaderLoading);
    EXPECT_EQ(chip.loadedImage(), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(chip.ram(0x2000, 4), (Bytes{1, 2, 3, 4}));
    ASSERT_EQ(h.run(0x2000), Outcome::Ok);
    EXPECT_EQ(chip.state(), ChipState::LoaderRunning);
    EXPECT_EQ(chip.flash(), Bytes(4096, 0x00));  // the old firmware
    ASSERT_EQ(h.erase(), Outcome::Ok);
    EXPECT_EQ(chip.state(), ChipState::Erased);
    EXPECT_EQ(chip.flash(), Bytes(4096, 0xFF));

    h.writePages(0, 1, 0x11);
    EXPECT_EQ(chip.pageStatuses(), Bytes{1});  // closed by its last-packet flag
    ASSERT_EQ(h.read(UsbChip::kStatusRegister), Outcome::Ok);
    ASSERT_EQ(h.packet(256, false, Bytes(44, 0x22)), Outcome::Ok);
    EXPECT_EQ(chip.pagesWritten(), 1u);
    ASSERT_EQ(h.read(UsbChip::kStatusRegister), Outcome::Ok);  // closes the short page
    EXPECT_EQ(h.lastIn, Bytes{1});
    EXPECT_EQ(chip.pageStatuses(), (Bytes{1, 1}));
    EXPECT_EQ(chip.state(), ChipState::Programmed);

    Bytes expected(4096, 0xFF);
    std::fill_n(expected.begin(), 256, 0x11);
    std::fill_n(expected.begin() + 256, 44, 0x22);
    EXPECT_EQ(chip.flash(), expected);

    // A short packet that is the page's last by count carries the flag.
    ASSERT_EQ(h.erase(), Outcome::Ok);
    for (int k = 0; k < 7; ++k) ASSERT_EQ(h.packet(k * 32, false, Bytes(32, 0x33)), Outcome::Ok);
    ASSERT_EQ(h.packet(224, true, Bytes(8, 0x44)), Outcome::Ok);
    EXPECT_EQ(chip.pageStatuses(), Bytes{1});
    EXPECT_TRUE(chip.violations().empty());
}

TEST(UsbChip, RefusesMalformedOrMisplacedRequestsWithAStall) {
    struct Case {
        const char* name;
        std::function<void(Host&)> prepare;
        std::function<Outcome(Host&)> act;
        const char* why;
    };
    auto debug = [](Host& h) { ASSERT_EQ(h.debugOn(), Outcome::Ok); };
    auto loading = [](Host& h) {
        ASSERT_EQ(h.debugOn(), Outcome::Ok);
        ASSERT_EQ(h.ram(0x2000, {1, 2, 3}), Outcome::Ok);
    };
    auto erased = [](Host& h) { h.toErased(); };
    auto none = [](Host&) {};
    const Case cases[] = {
        {"RAM frame before debug mode", none, [](Host& h) { return h.ram(0x2000, {1}); }, "in state idle"},
        {"RAM frame checksum", debug,
         [](Host& h) {
             return h.out(0x13, {6, 0x13, 0x20, 0x00, 0x01, 0x00});
         },
         "checksum"},
        {"RAM frame length byte", debug,
         [](Host& h) {
             return h.out(0x13, {7, 0x13, 0x20, 0x00, 0x01, 0xC5});
         },
         "length byte"},
        {"RAM frame code byte", debug,
         [](Host& h) {
             return h.out(0x13, {6, 0x12, 0x20, 0x00, 0x01, 0xC7});
         },
         "frame code"},
        {"RAM frame without data", debug,
         [](Host& h) {
             return h.out(0x13, {5, 0x13, 0x20, 0x00, 0xB8});
         },
         "carries no data"},
        {"RAM frames not contiguous", loading, [](Host& h) { return h.ram(0x2004, {1}); }, "expected 0x2003"},
        {"run before the registers are cleared", loading, [](Host& h) { return h.run(0x2000); }, "not cleared"},
        {"run elsewhere than the loader", loading,
         [](Host& h) {
             h.prepare();
             return h.run(0x3000);
         },
         "run at 0x3000"},
        {"erase before the loader runs", debug, [](Host& h) { return h.erase(); }, "erase in state"},
        {"flash packet before erase", loading, [](Host& h) { return h.packet(0, false, Bytes(64)); },
         "flash packet in state"},
        {"flash packets not contiguous", erased, [](Host& h) { return h.packet(64, false, Bytes(64)); },
         "expected 0x000000"},
        {"last-packet flag before the page end", erased, [](Host& h) { return h.packet(0, true, Bytes(64)); },
         "before the page end"},
        {"page end without flag", erased,
         [](Host& h) {
             for (int k = 0; k < 3; ++k) EXPECT_EQ(h.packet(k * 64, false, Bytes(64, 0xFF)), Outcome::Ok);
             return h.packet(192, false, Bytes(64));
         },
         "without last-packet flag"},
        {"packet across a page", erased,
         [](Host& h) {
             EXPECT_EQ(h.packet(0, false, Bytes(200, 0xFF)), Outcome::Ok);
             return h.packet(200, false, Bytes(64));
         },
         "crosses a page"},
        {"packet after the short last packet", erased,
         [](Host& h) {
             EXPECT_EQ(h.packet(0, false, Bytes(64, 0xFF)), Outcome::Ok);
             EXPECT_EQ(h.packet(64, false, Bytes(8, 0xFF)), Outcome::Ok);
             return h.packet(72, false, Bytes(8, 0xFF));
         },
         "after the short last packet"},
        {"register write not closed by 0", none,
         [](Host& h) {
             return h.out(0x07, {7, 7, 0x80, 0xAD, 0, 0, 1});
         },
         "not closed by 0"},
        {"version query with wrong wValue", none,
         [](Host& h) {
             Bytes b(64);
             return h.chip.handle({0xC1, 0x08, 0, 0xFFFF, 64}, b).outcome;
         },
         "not 0xFFFF"},
        {"unknown request", none, [](Host& h) { return h.out(0x55, {1}); }, "unknown request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UsbChip chip({.chipId = 0x03, .flashSize = 4096});
        Host h{chip};
        c.prepare(h);
        const ChipState before = chip.state();
        const Bytes flashBefore = chip.flash();
        EXPECT_EQ(c.act(h), Outcome::Stall);
        ASSERT_FALSE(chip.violations().empty());
        EXPECT_NE(chip.violations().back().find(c.why), std::string::npos) << chip.violations().back();
        EXPECT_EQ(chip.transcript().back().outcome, Outcome::Stall);
        EXPECT_EQ(chip.state(), before);
        EXPECT_EQ(chip.flash(), flashBefore);
    }
}

TEST(UsbChip, InjectedFaultsFireOnceAndLeaveTheChipAlone) {
    UsbChip chip;
    Host h{chip};
    chip.failAtRequest(2, Fault::TransferError);
    chip.failAt(RequestKind::Write, 3, Fault::Stall);
    chip.failAt(RequestKind::Read, 1, Fault::Timeout);
    EXPECT_EQ(h.write(0x0100, 1), Outcome::Ok);             // request 0
    EXPECT_EQ(h.write(0x0101, 2), Outcome::TransferError);  // request 1
    EXPECT_EQ(h.write(0x0102, 3), Outcome::Stall);          // third Write after arming
    EXPECT_EQ(h.write(0x0103, 4), Outcome::Ok);
    EXPECT_EQ(h.read(0x0100), Outcome::Timeout);
    EXPECT_TRUE(h.lastIn.empty());
    EXPECT_EQ(h.read(0x0100), Outcome::Ok);
    EXPECT_EQ(chip.reg(0x0101), 0);
    EXPECT_EQ(chip.reg(0x0102), 0);
    EXPECT_EQ(chip.reg(0x0103), 4);
    EXPECT_TRUE(chip.violations().empty());

    chip.failAt(RequestKind::DebugOn, 1, Fault::Unplug);
    EXPECT_EQ(h.debugOn(), Outcome::NoDevice);
    EXPECT_EQ(h.read(0x0100), Outcome::NoDevice);
    EXPECT_EQ(h.in(0x08, 0xFFFF, 64), Outcome::NoDevice);
    EXPECT_FALSE(chip.plugged());
    EXPECT_EQ(chip.state(), ChipState::Idle);
    chip.replug();
    EXPECT_EQ(h.read(0x0100), Outcome::Ok);
    EXPECT_EQ(chip.reg(0x0103), 0);  // registers back to their power-on values
}

TEST(UsbChip, WrongPageStatusHitsTheStatusReadOfItsPage) {
    UsbChip chip({.flashSize = 4096, .wrongPageStatus = 0x07});
    Host h{chip};
    h.toErased();
    chip.failAtPage(1, Fault::WrongPageStatus);
    Bytes answers;
    for (int p = 0; p < 3; ++p) {
        h.writePages(p * 256, 1, uint8_t(p));
        ASSERT_EQ(h.read(UsbChip::kStatusRegister), Outcome::Ok);
        answers.push_back(h.lastIn.at(0));
    }
    EXPECT_EQ(answers, (Bytes{1, 7, 1}));
    EXPECT_EQ(chip.pageStatuses(), (Bytes{1, 7, 1}));
}

TEST(UsbChip, TranscriptRecordsSetupDataAndTheInjectedTime) {
    std::atomic<int64_t> now{5};
    UsbChip chip({.clock = [&] { return std::chrono::nanoseconds(now.load()); }});
    Host h{chip};
    ASSERT_EQ(h.reset(2), Outcome::Ok);
    now = 900'000'005;
    ASSERT_EQ(h.read(0x8910), Outcome::Ok);
    const auto t = chip.transcript();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].index, 0u);
    EXPECT_EQ(t[0].time.count(), 5);
    EXPECT_EQ(t[0].kind, RequestKind::Reset);
    EXPECT_EQ(t[0].setup, (ControlSetup{0x41, 0x20, 0, 0, 4}));
    EXPECT_EQ(t[0].out, (Bytes{4, 0x20, 2, 0}));
    EXPECT_TRUE(t[0].in.empty());
    EXPECT_EQ(t[1].time.count(), 900'000'005);
    EXPECT_EQ(t[1].kind, RequestKind::Read);
    EXPECT_EQ(t[1].in.size(), 11u);
    EXPECT_EQ(chip.resets(), Bytes{2});
}

TEST(EmulatedControlTransport, MapsOutcomesToLibusbCodes) {
    struct Case {
        Fault fault;
        int32_t code;
    };
    const Case cases[] = {{Fault::TransferError, LIBUSB_ERROR_IO},
                          {Fault::Stall, LIBUSB_ERROR_PIPE},
                          {Fault::Timeout, LIBUSB_ERROR_TIMEOUT},
                          {Fault::Unplug, LIBUSB_ERROR_NO_DEVICE}};
    for (const auto& c : cases) {
        auto chip = std::make_shared<UsbChip>();
        EmulatedControlTransport transport(chip);
        Bytes frame{3, 9, 0};
        const ControlSetup debugOn{0x41, 0x09, 0, 0, 3};
        EXPECT_EQ(transport.controlTransfer(debugOn, frame), 0);
        chip->failAt(RequestKind::DebugOn, 1, c.fault);
        EXPECT_EQ(transport.controlTransfer(debugOn, frame), c.code);
    }
}

TEST(EmulatedControlTransport, DeviceRecordCarriesTheChipsIdentity) {
    auto chip = std::make_shared<UsbChip>(
        UsbChipOptions{.vendorId = 0x6A3C, .productId = 0x6120, .name = std::string(200, 'n')});
    const USBDevice device = makeEmulatedDevice(chip, 42);
    EXPECT_EQ(device.id, 42u);
    EXPECT_EQ(device.vendorId, 0x6A3C);
    EXPECT_EQ(device.productId, 0x6120);
    EXPECT_EQ(device.name.size(), 127u);
    auto* transport = dynamic_cast<EmulatedControlTransport*>(device.deviceInterfacePtrPtr.get());
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->chip(), chip);
}

TEST(UsbChip, ServesSeveralThreadsAtOnce) {
    UsbChip chip;
    constexpr int kWrites = 2000;
    std::atomic<bool> done{false};
    auto writer = [&](uint16_t base) {
        Host h{chip};
        for (int i = 0; i < kWrites; ++i) EXPECT_EQ(h.write(uint16_t(base + i % 16), uint16_t(i)), Outcome::Ok);
    };
    std::thread inspector([&] {
        while (!done) {
            (void)chip.transcript().size();
            (void)chip.state();
            (void)chip.reg(0x1000);
        }
    });
    std::thread a(writer, 0x1000), b(writer, 0x2000);
    a.join();
    b.join();
    done = true;
    inspector.join();
    EXPECT_EQ(chip.requestCount(), 2u * kWrites);
    const auto t = chip.transcript();
    ASSERT_EQ(t.size(), 2u * kWrites);
    for (size_t i = 0; i < t.size(); ++i) EXPECT_EQ(t[i].index, i);
    EXPECT_EQ(chip.reg(0x1000 + 15), kWrites - 1);
    EXPECT_EQ(chip.reg(0x2000 + 15), kWrites - 1);
}

}  // namespace
}  // namespace quorvel::emu
