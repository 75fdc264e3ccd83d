#include "display/linux/LinuxI2C.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>

#include "model/Sleeper.h"

namespace quorvel {

namespace {

bool transfer(int fd, i2c_msg* messages, uint32_t count) {
    i2c_rdwr_ioctl_data data{messages, count};
    return ::ioctl(fd, I2C_RDWR, &data) == static_cast<int>(count);
}

// An I2C message carries at most 65535 bytes.
bool fits(size_t length) { return length <= std::numeric_limits<uint16_t>::max(); }

}  // namespace

LinuxI2CBus::~LinuxI2CBus() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<unsigned long> LinuxI2CBus::functionality() {
    unsigned long functions = 0;
    if (::ioctl(fd_, I2C_FUNCS, &functions) < 0) return std::nullopt;
    return functions;
}

bool LinuxI2CBus::write(uint8_t address, std::span<const uint8_t> data) {
    if (!fits(data.size())) return false;
    std::vector<uint8_t> out(data.begin(), data.end());
    i2c_msg message{address, 0, static_cast<uint16_t>(out.size()), out.data()};
    return transfer(fd_, &message, 1);
}

bool LinuxI2CBus::writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                            std::span<uint8_t> reply) {
    if (!fits(data.size()) || !fits(reply.size())) return false;
    std::vector<uint8_t> out(data.begin(), data.end());
    i2c_msg messages[2] = {
        {address, 0, static_cast<uint16_t>(out.size()), out.data()},
        {address, I2C_M_RD, static_cast<uint16_t>(reply.size()), reply.data()},
    };
    if (delay.count() <= 0) return transfer(fd_, messages, 2);
    // The chip needs time to prepare its reply: write, pause, read.
    if (!transfer(fd_, &messages[0], 1)) return false;
    sleeper().sleep(delay);
    return transfer(fd_, &messages[1], 1);
}

std::string LinuxI2CBusProvider::node(uint32_t number) const { return dev_ + "/i2c-" + std::to_string(number); }

std::optional<std::vector<uint32_t>> LinuxI2CBusProvider::buses() {
    std::error_code ec;
    std::filesystem::directory_iterator it(sysClass_, ec);
    if (ec) return std::nullopt;
    std::vector<uint32_t> numbers;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("i2c-", 0) != 0) continue;
        uint32_t n = 0;
        const char* first = name.data() + 4;
        const char* last = name.data() + name.size();
        auto [end, err] = std::from_chars(first, last, n);
        if (err == std::errc() && end == last && first != last) numbers.push_back(n);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool LinuxI2CBusProvider::exists(uint32_t number) {
    struct stat st {};
    return ::stat(node(number).c_str(), &st) == 0;
}

std::unique_ptr<I2CBus> LinuxI2CBusProvider::open(uint32_t number) {
    const int fd = ::open(node(number).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<LinuxI2CBus>(fd);
}

}  // namespace quorvel
