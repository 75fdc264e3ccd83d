// What every fuzz target shares: a check that stops the run (libFuzzer then
// keeps the input), a reader of the input as a script of replies, and quiet
// in-memory stand-ins for the process-wide seams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::fuzz {

[[noreturn]] void fail(const char* file, int line, const char* condition, const std::string& detail);

// The bytes with everything outside printable ASCII as \xNN, for messages.
std::string escaped(std::string_view bytes);
std::string escaped(std::span<const uint8_t> bytes);

// Alerts dropped, preferences in memory, pauses not spent, standard output
// discarded (the engines print progress there).
void quietSeams();

// Hands out the input front to back; past its end every read is zero.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
    uint8_t byte() { return at_ < data_.size() ? data_[at_++] : 0; }
    // Up to n bytes, fewer near the end.
    std::span<const uint8_t> bytes(size_t n) {
        const size_t k = std::min(n, data_.size() - at_);
        auto out = data_.subspan(at_, k);
        at_ += k;
        return out;
    }
    std::span<const uint8_t> rest() { return bytes(data_.size() - at_); }
    bool empty() const { return at_ >= data_.size(); }

private:
    std::span<const uint8_t> data_;
    size_t at_ = 0;
};

}  // namespace quorvel::fuzz

#define FUZZ_CHECK(condition, detail)                                                    \
    do {                                                                                 \
        if (!(condition)) ::quorvel::fuzz::fail(__FILE__, __LINE__, #condition, detail); \
    } while (0)
