// The firmware and loader version patterns read by hand, character class by
// character class, without a regular-expression engine: what the searches
// must find, checked against both the engine and the linear search.
#pragma once

#include <string>
#include <vector>

namespace quorvel::fuzz {

// The five firmware version patterns, in the order they are tried.
inline constexpr const char* kVersionPatterns[5] = {
    R"(ZK\d{4}.*[\x{00}])",
    R"([A-Za-z_]{2}\w{3}\s\d\.[0-9]{2}[a-z_].*[\x{00}])",
    R"(V\.\d+\.\d+\.\d+\.\d+.*[\x{00}])",
    R"(\w{2}\.\w{4}\s\d\.\w{3}.*[\x{00}])",
    R"(ZK\d{2}x\d{1}.*[\x{00}])",
};

// Every non-overlapping match of version pattern `pattern` (0 to 4) in
// `text`, leftmost first, each running greedily to the last NUL of the line
// where its `.*` starts. Line breaks are those of the engine on Latin-1
// text: LF, CR, VT, FF and NEL (0x85).
std::vector<std::string> versionMatches(int pattern, const std::string& text);

// GetFwVersion: the first match of the first pattern that matches, cut at
// its first NUL; "NoFwVersion" without one.
std::string fwVersion(const std::string& text);

// GetISPVersion: "UsbFl", a capital, an optional digit, one blank, "v", two
// digits, any one character but a line break, a digit and a NUL; the first
// such text cut at its first NUL, else "NoVersionInfo".
std::string ispVersion(const std::string& text);

}  // namespace quorvel::fuzz
