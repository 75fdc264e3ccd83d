// Where things lie in the images the chips take: a firmware of 64 or
// 128 KiB carries its chip signature 40 bytes before its end; a loader of
// 4096 bytes carries "eISP" 8 bytes before its end.
#pragma once

#include <cstddef>

namespace quorvel::layout {

inline constexpr size_t signatureLength = 4;

inline constexpr size_t firmwareSmallSize = 64 * 1024;
inline constexpr size_t firmwareLargeSize = 128 * 1024;
inline constexpr size_t signatureFromEnd = 40;
inline constexpr size_t firmwareSmallSignatureOffset = firmwareSmallSize - signatureFromEnd;  // 0xFFD8
inline constexpr size_t firmwareLargeSignatureOffset = firmwareLargeSize - signatureFromEnd;  // 0x1FFD8

inline constexpr size_t loaderSize = 4096;
inline constexpr size_t loaderSignatureOffset = loaderSize - 8;  // 4088

static_assert(firmwareSmallSignatureOffset == 0xFFD8 && firmwareLargeSignatureOffset == 0x1FFD8);

}  // namespace quorvel::layout
