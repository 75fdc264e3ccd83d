#include "Reference.h"

#include <optional>

namespace quorvel::fuzz {

namespace {

constexpr size_t npos = std::string::npos;

bool isBreak(unsigned char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0x85; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool isLetter(unsigned char c) { return isUpper(c) || isLower(c); }
bool isWord(unsigned char c) { return isLetter(c) || isDigit(c) || c == '_'; }
bool isBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a text position by position; past the end every test fails.
struct Cursor {
    const std::string& text;
    size_t at;
    bool take(bool (*test)(unsigned char)) {
        if (at >= text.size() || !test(static_cast<unsigned char>(text[at]))) return false;
        ++at;
        return true;
    }
    bool take(char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    bool takeN(bool (*test)(unsigned char), int n) {
        for (int i = 0; i < n; ++i)
            if (!take(test)) return false;
        return true;
    }
};

bool isLetterOrUnderscore(unsigned char c) { return isLetter(c) || c == '_'; }
bool isLowerOrUnderscore(unsigned char c) { return isLower(c) || c == '_'; }

// Where the part before ".*" ends for a match starting at `start`, if one
// starts there.
std::optional<size_t> prefixEnd(int pattern, const std::string& text, size_t start) {
    Cursor c{text, start};
    bool ok = false;
    switch (pattern) {
    case 0:  // ZK\d{4}
        ok = c.take('Z') && c.take('K') && c.takeN(isDigit, 4);
        break;
    case 1:  // [A-Za-z_]{2}\w{3}\s\d\.[0-9]{2}[a-z_]
        ok = c.takeN(isLetterOrUnderscore, 2) && c.takeN(isWord, 3) && c.take(isBlank) && c.take(isDigit) &&
             c.take('.') && c.takeN(isDigit, 2) && c.take(isLowerOrUnderscore);
        break;
    case 2:  // V\.\d+\.\d+\.\d+\.\d+ : the last run needs only one digit, ".*" takes the rest
        ok = c.take('V') && c.take('.');
        for (int group = 0; ok && group < 3; ++group) {
            ok = c.take(isDigit);
            while (ok && c.take(isDigit)) {
            }
            ok = ok && c.take('.');
        }
        ok = ok && c.take(isDigit);
        break;
    case 3:  // \w{2}\.\w{4}\s\d\.\w{3}
        ok = c.takeN(isWord, 2) && c.take('.') && c.takeN(isWord, 4) && c.take(isBlank) && c.take(isDigit) &&
             c.take('.') && c.takeN(isWord, 3);
        break;
    case 4:  // ZK\d{2}x\d{1}
        ok = c.take('Z') && c.take('K') && c.takeN(isDigit, 2) && c.take('x') && c.take(isDigit);
        break;
    default: break;
    }
    if (!ok) return std::nullopt;
    return c.at;
}

// For each position, the last NUL from there to the end of its line.
std::vector<size_t> lastNulOfLine(const std::string& text) {
    std::vector<size_t> last(text.size() + 1, npos);
    size_t current = npos;
    for (size_t i = text.size(); i-- > 0;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isBreak(c)) current = npos;
        else if (c == 0 && current == npos) current = i;
        last[i] = isBreak(c) ? npos : current;
    }
    return last;
}

std::string cutAtNul(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::vector<std::string> versionMatches(int pattern, const std::string& text) {
    const auto last = lastNulOfLine(text);
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
        const auto end = prefixEnd(pattern, text, start);
        if (end && last[*end] != npos) {
            const size_t after = last[*end] + 1;
            out.push_back(text.substr(start, after - start));
            start = after;
        } else {
            ++start;
        }
    }
    return out;
}

std::string fwVersion(const std::string& text) {
    for (int pattern = 0; pattern < 5; ++pattern) {
        const auto found = versionMatches(pattern, text);
        if (!found.empty()) return cutAtNul(found.front());
    }
    return "NoFwVersion";
}

std::string ispVersion(const std::string& text) {
    for (size_t start = 0; start < text.size(); ++start) {
        Cursor c{text, start};
        bool ok = c.take('U') && c.take('s') && c.take('b') && c.take('F') && c.take('l') && c.take(isUpper);
        if (!ok) continue;
        c.take(isDigit);  // optional; a digit is never a blank, so no choice arises
        ok = c.take(isBlank) && c.take('v') && c.takeN(isDigit, 2) &&
             c.take([](unsigned char ch) { return !isBreak(ch); }) && c.take(isDigit) && c.take('\0');
        if (ok) return cutAtNul(text.substr(start, c.at - start));
    }
    return "NoVersionInfo";
}

}  // namespace quorvel::fuzz
