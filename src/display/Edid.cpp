#include "display/Edid.h"

#include <algorithm>

namespace quorvel {

namespace {
constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t kDescriptors[4] = {54, 72, 90, 108};
}  // namespace

std::optional<EdidInfo> parseEdid(std::span<const uint8_t> edid) {
    if (edid.size() < 128 || !std::equal(std::begin(kHeader), std::end(kHeader), edid.begin())) return std::nullopt;
    EdidInfo info;
    info.vendor = (uint32_t{edid[8]} << 8) | edid[9];
    info.product = uint32_t{edid[10]} | (uint32_t{edid[11]} << 8);
    info.serial = uint32_t{edid[12]} | (uint32_t{edid[13]} << 8) | (uint32_t{edid[14]} << 16) |
                  (uint32_t{edid[15]} << 24);
    info.week = edid[16] == 0xFF ? 0 : edid[16];
    info.year = 1990 + edid[17];
    info.widthMM = int64_t{edid[21]} * 10;
    info.heightMM = int64_t{edid[22]} * 10;
    for (size_t at : kDescriptors) {
        const auto d = edid.subspan(at, 18);
        const bool isDisplayDescriptor = d[0] == 0 && d[1] == 0;
        if (!isDisplayDescriptor) {
            // The first detailed timing carries the size in millimetres.
            if (at == 54) {
                const int64_t w = d[12] | ((d[14] & 0xF0) << 4);
                const int64_t h = d[13] | ((d[14] & 0x0F) << 8);
                if (w > 0 && h > 0) {
                    info.widthMM = w;
                    info.heightMM = h;
                }
            }
            continue;
        }
        if (d[3] != 0xFC || !info.name.empty()) continue;
        std::string text;
        for (size_t i = 5; i < 18 && d[i] != 0x0A && d[i] != 0x00; ++i)
            text.push_back(d[i] >= 0x20 && d[i] < 0x7F ? static_cast<char>(d[i]) : '?');
        while (!text.empty() && text.back() == ' ') text.pop_back();
        info.name = text;
    }
    return info;
}

}  // namespace quorvel
