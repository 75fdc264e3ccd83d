// EDID parsing on any bytes (connectors and buses hand over whatever the
// display sends), and on base blocks made from the input by an independent
// builder, whose fields must read back exactly.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "display/Edid.h"

using namespace quorvel;

namespace {

constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

void checkAnyBlock(std::span<const uint8_t> bytes) {
    const auto info = parseEdid(bytes);
    const bool block = bytes.size() >= 128 && std::equal(std::begin(kHeader), std::end(kHeader), bytes.begin());
    FUZZ_CHECK(info.has_value() == block, "size " + std::to_string(bytes.size()));
    if (!info) return;
    FUZZ_CHECK(info->name.size() <= 13, fuzz::escaped(info->name));
    FUZZ_CHECK(std::all_of(info->name.begin(), info->name.end(), [](char c) { return c >= 0x20 && c < 0x7F; }),
               fuzz::escaped(info->name));
    FUZZ_CHECK(info->name.empty() || info->name.back() != ' ', fuzz::escaped(info->name));
    FUZZ_CHECK(info->week >= 0 && info->week <= 254, std::to_string(info->week));
    FUZZ_CHECK(info->year >= 1990 && info->year <= 1990 + 255, std::to_string(info->year));
    FUZZ_CHECK(info->widthMM >= 0 && info->widthMM <= 4095 && info->heightMM >= 0 && info->heightMM <= 4095,
               std::to_string(info->widthMM) + "x" + std::to_string(info->heightMM));
}

struct Fields {
    char letters[3];
    uint16_t product;
    uint32_t serial;
    uint8_t week;  // 1 to 54
    uint8_t yearByte;
    uint16_t widthMM, heightMM;  // 1 to 4095
    std::string name;            // printable, at most 13, no trailing blank
    size_t nameSlot;             // which of the three last descriptors
};

Fields fieldsFrom(fuzz::ByteReader& in) {
    Fields f{};
    for (char& c : f.letters) c = static_cast<char>('A' + in.byte() % 26);
    f.product = static_cast<uint16_t>(in.byte() | in.byte() << 8);
    for (int i = 0; i < 4; ++i) f.serial |= uint32_t{in.byte()} << (8 * i);
    f.week = static_cast<uint8_t>(1 + in.byte() % 54);
    f.yearByte = in.byte();
    f.widthMM = static_cast<uint16_t>(1 + (in.byte() | in.byte() << 8) % 4095);
    f.heightMM = static_cast<uint16_t>(1 + (in.byte() | in.byte() << 8) % 4095);
    f.nameSlot = in.byte() % 3;
    const size_t length = in.byte() % 14;
    for (size_t i = 0; i < length; ++i) f.name.push_back(static_cast<char>(0x20 + in.byte() % 0x5F));
    while (!f.name.empty() && f.name.back() == ' ') f.name.pop_back();
    return f;
}

// A base block laid out as VESA E-EDID 1.4 puts it.
std::vector<uint8_t> blockOf(const Fields& f) {
    std::vector<uint8_t> e(128, 0);
    std::copy(std::begin(kHeader), std::end(kHeader), e.begin());
    const unsigned id = unsigned(f.letters[0] - '@') << 10 | unsigned(f.letters[1] - '@') << 5 |
                        unsigned(f.letters[2] - '@');
    e[8] = static_cast<uint8_t>(id >> 8);
    e[9] = static_cast<uint8_t>(id);
    e[10] = static_cast<uint8_t>(f.product);
    e[11] = static_cast<uint8_t>(f.product >> 8);
    for (int i = 0; i < 4; ++i) e[12 + i] = static_cast<uint8_t>(f.serial >> (8 * i));
    e[16] = f.week;
    e[17] = f.yearByte;
    e[18] = 1;
    e[19] = 4;
    e[21] = static_cast<uint8_t>(f.widthMM / 10);
    e[22] = static_cast<uint8_t>(f.heightMM / 10);
    // Detailed timing: a pixel clock, then the image size in millimetres.
    e[54] = 0x02;
    e[55] = 0x3A;
    e[54 + 12] = static_cast<uint8_t>(f.widthMM);
    e[54 + 13] = static_cast<uint8_t>(f.heightMM);
    e[54 + 14] = static_cast<uint8_t>((f.widthMM >> 8) << 4 | (f.heightMM >> 8));
    for (size_t slot = 0; slot < 3; ++slot) {
        uint8_t* d = &e[72 + 18 * slot];
        d[3] = slot == f.nameSlot ? 0xFC : 0x10;  // product name, else a dummy
        if (slot != f.nameSlot) continue;
        size_t i = 0;
        for (; i < f.name.size(); ++i) d[5 + i] = static_cast<uint8_t>(f.name[i]);
        if (i < 13) d[5 + i++] = 0x0A;
        for (; i < 13; ++i) d[5 + i] = 0x20;
    }
    uint8_t sum = 0;
    for (size_t k = 0; k < 127; ++k) sum = static_cast<uint8_t>(sum + e[k]);
    e[127] = static_cast<uint8_t>(0 - sum);
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    checkAnyBlock(bytes);
    // The same bytes behind a valid header, so that every field is reached.
    if (size >= 8) {
        std::vector<uint8_t> block(bytes.begin(), bytes.end());
        block.resize(std::max<size_t>(block.size(), 128));
        std::copy(std::begin(kHeader), std::end(kHeader), block.begin());
        checkAnyBlock(block);
    }

    fuzz::ByteReader in(bytes);
    const Fields f = fieldsFrom(in);
    const auto info = parseEdid(blockOf(f));
    FUZZ_CHECK(info.has_value(), "built block refused");
    const uint32_t vendor = uint32_t(f.letters[0] - '@') << 10 | uint32_t(f.letters[1] - '@') << 5 |
                            uint32_t(f.letters[2] - '@');
    FUZZ_CHECK(info->vendor == vendor && info->product == f.product && info->serial == f.serial,
               "ids " + std::to_string(info->vendor) + "/" + std::to_string(info->product) + "/" +
                   std::to_string(info->serial));
    FUZZ_CHECK(info->week == f.week && info->year == 1990 + f.yearByte,
               "date " + std::to_string(info->week) + "/" + std::to_string(info->year));
    FUZZ_CHECK(info->widthMM == f.widthMM && info->heightMM == f.heightMM,
               "size " + std::to_string(info->widthMM) + "x" + std::to_string(info->heightMM) + ", built " +
                   std::to_string(f.widthMM) + "x" + std::to_string(f.heightMM));
    FUZZ_CHECK(info->name == f.name, fuzz::escaped(info->name) + ", built " + fuzz::escaped(f.name));
    return 0;
}
