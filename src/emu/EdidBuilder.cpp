#include "emu/EdidBuilder.h"

#include <algorithm>
#include <iterator>

namespace quorvel {

namespace {
constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
}

std::vector<uint8_t> buildEdid(const EdidSpec& spec) {
    std::vector<uint8_t> e(128, 0);
    std::copy(std::begin(kHeader), std::end(kHeader), e.begin());
    uint16_t id = 0;
    for (size_t i = 0; i < 3; ++i) {
        const char c = i < spec.manufacturer.size() ? spec.manufacturer[i] : 'A';
        id = static_cast<uint16_t>((id << 5) | ((c - 'A' + 1) & 0x1F));
    }
    if (spec.vendorId) id = *spec.vendorId;
    e[8] = static_cast<uint8_t>(id >> 8);
    e[9] = static_cast<uint8_t>(id);
    e[10] = static_cast<uint8_t>(spec.product);
    e[11] = static_cast<uint8_t>(spec.product >> 8);
    for (int i = 0; i < 4; ++i) e[12 + i] = static_cast<uint8_t>(spec.serial >> (8 * i));
    e[16] = spec.week;
    e[17] = static_cast<uint8_t>(std::clamp(spec.year - 1990, 0, 255));
    e[18] = 1;
    e[19] = 4;
    e[20] = 0xA5;  // digital input
    e[21] = static_cast<uint8_t>(std::clamp(spec.widthMM / 10, 0, 255));
    e[22] = static_cast<uint8_t>(std::clamp(spec.heightMM / 10, 0, 255));
    // Detailed timing 1920x1080@60 with the image size in millimetres.
    uint8_t* t = &e[54];
    const uint8_t timing[18] = {0x02, 0x3A, 0x80, 0x18, 0x71, 0x38, 0x2D, 0x40, 0x58,
                                0x2C, 0x45, 0x00, 0,    0,    0,    0x00, 0x00, 0x1E};
    std::copy(std::begin(timing), std::end(timing), t);
    t[12] = static_cast<uint8_t>(spec.widthMM & 0xFF);
    t[13] = static_cast<uint8_t>(spec.heightMM & 0xFF);
    t[14] = static_cast<uint8_t>(((spec.widthMM >> 4) & 0xF0) | ((spec.heightMM >> 8) & 0x0F));
    // Product name descriptor, then two dummy descriptors.
    uint8_t* n = &e[72];
    n[3] = 0xFC;
    size_t i = 0;
    for (; i < spec.name.size() && i < 13; ++i) n[5 + i] = static_cast<uint8_t>(spec.name[i]);
    if (i < 13) n[5 + i++] = 0x0A;
    for (; i < 13; ++i) n[5 + i] = 0x20;
    e[90 + 3] = 0x10;
    e[108 + 3] = 0x10;
    e[126] = spec.extensions;
    const auto close = [&e](size_t block) {
        uint8_t sum = 0;
        for (size_t k = 0; k < 127; ++k) sum = static_cast<uint8_t>(sum + e[block + k]);
        e[block + 127] = static_cast<uint8_t>(0 - sum);
    };
    close(0);
    for (uint8_t x = 0; x < spec.extensions; ++x) {
        const size_t block = e.size();
        e.resize(block + 128, 0);
        e[block] = 0x02;  // CEA-861 tag, revision 3, no data blocks
        e[block + 1] = 0x03;
        e[block + 2] = 0x04;
        close(block);
    }
    return e;
}

}  // namespace quorvel
