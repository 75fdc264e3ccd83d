// Hexadecimal text of numbers and bytes, for diagnostics and device records.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

enum class HexCase { upper, lower };

// `digits` hex digits of `value`, most significant first, no prefix.
inline std::string hexDigits(uint64_t value, int digits, HexCase letters = HexCase::upper) {
    const char* d = letters == HexCase::upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (int i = digits - 1; i >= 0; --i) s.push_back(d[(value >> (4 * i)) & 0xF]);
    return s;
}

// Two digits a byte, `separator` between bytes.
inline std::string hexBytes(std::span<const uint8_t> bytes, std::string_view separator = {},
                            HexCase letters = HexCase::upper) {
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) s += separator;
        s += hexDigits(bytes[i], 2, letters);
    }
    return s;
}

}  // namespace quorvel
