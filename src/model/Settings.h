// Process-wide settings shared by the engines and both user interfaces.
// The progress values are written by an upgrade and read by a timer on
// another thread, hence atomic; the display-side transfer state belongs to
// the one display-side upgrade that may run at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace quorvel {

inline std::atomic<int64_t> percentCompleted{0};
inline std::atomic<int64_t> AUXpercentCompleted{0};
inline std::atomic<int64_t> pidFilter{0};
inline std::atomic<bool> advancedMode{false};
inline std::atomic<bool> deviceFilter{false};
inline std::atomic<int64_t> maxPktSize{0};

inline std::string selectedPath;
inline std::string firmwareVersion;
inline std::string deviceVersion;
inline std::string AUXdeviceVersion;

inline std::atomic<int64_t> serviceMatchDisplayIDM1{0};
inline std::atomic<int64_t> serviceMatchDisplayIDIntel{0};

inline uint64_t serialNo = 0;
inline uint8_t startLength = 0;
inline uint16_t WCRC = 0x1021;
inline uint16_t ISPBufferCount = 0;
inline uint32_t firmwareBufferCount = 0;

inline constexpr bool DEBUG_SW = false;
inline constexpr bool DEBUG_VIRTUAL = false;
inline constexpr bool DEBUG_MACOS10 = false;

}  // namespace quorvel
