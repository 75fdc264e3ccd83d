#include "display/linux/LinuxI2C.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <charconv>
#include <filesystem>
#include <limits>

#include "model/Sleeper.h"

namespace quorvel {

namespace {

// 0 when every message went through, else the errno of the ioctl (EIO when
// it stopped short without one).
int transfer(int fd, i2c_msg* messages, uint32_t count) {
    i2c_rdwr_ioctl_data data{messages, count};
    const int done = ::ioctl(fd, I2C_RDWR, &data);
    if (done < 0) return errno;
    return done == static_cast<int>(count) ? 0 : EIO;
}

// An I2C message carries at most 65535 bytes.
bool fits(size_t length) { return length <= std::numeric_limits<uint16_t>::max(); }

// By the kernel's convention a missing acknowledge is ENXIO; the DP-AUX
// I2C helper says EREMOTEIO for the same.
bool isNak(int error) { return error == ENXIO || error == EREMOTEIO; }

TransferResult failure(I2CMessage message, uint8_t address, std::span<const uint8_t> written, size_t readLength,
                       int error) {
    std::string detail = FailureCause::errnoCode(error);
    if (isNak(error)) detail = i2cRefused(address, message == I2CMessage::read, written) + ", " + detail;
    return TransferResult::failed(i2cStep(message, address, readLength), detail);
}

TransferResult tooLong(I2CMessage message, uint8_t address, size_t length) {
    return TransferResult::failed(i2cStep(message, address),
                                  "a message of " + std::to_string(length) + " bytes exceeds 65535");
}

}  // namespace

LinuxI2CBus::~LinuxI2CBus() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<unsigned long> LinuxI2CBus::functionality() {
    unsigned long functions = 0;
    if (::ioctl(fd_, I2C_FUNCS, &functions) < 0) return std::nullopt;
    return functions;
}

TransferResult LinuxI2CBus::write(uint8_t address, std::span<const uint8_t> data) {
    if (!fits(data.size())) return tooLong(I2CMessage::write, address, data.size());
    std::vector<uint8_t> out(data.begin(), data.end());
    i2c_msg message{address, 0, static_cast<uint16_t>(out.size()), out.data()};
    if (const int error = transfer(fd_, &message, 1)) return failure(I2CMessage::write, address, data, 0, error);
    return {};
}

TransferResult LinuxI2CBus::writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                                      std::span<uint8_t> reply) {
    if (!fits(data.size())) return tooLong(I2CMessage::write, address, data.size());
    if (!fits(reply.size())) return tooLong(I2CMessage::read, address, reply.size());
    std::vector<uint8_t> out(data.begin(), data.end());
    i2c_msg messages[2] = {
        {address, 0, static_cast<uint16_t>(out.size()), out.data()},
        {address, I2C_M_RD, static_cast<uint16_t>(reply.size()), reply.data()},
    };
    if (delay.count() <= 0) {
        if (const int error = transfer(fd_, messages, 2))
            return failure(I2CMessage::combined, address, data, reply.size(), error);
        return {};
    }
    // The chip needs time to prepare its reply: write, pause, read.
    if (const int error = transfer(fd_, &messages[0], 1)) return failure(I2CMessage::write, address, data, 0, error);
    sleeper().sleep(delay);
    if (const int error = transfer(fd_, &messages[1], 1))
        return failure(I2CMessage::read, address, {}, reply.size(), error);
    return {};
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

std::string LinuxI2CBusProvider::classEntry(uint32_t number) const {
    return sysClass_ + "/i2c-" + std::to_string(number);
}

// Only a bus that sysfs lists as an i2c-dev node counts: a /dev path is
// never opened on a guess.
bool LinuxI2CBusProvider::exists(uint32_t number) {
    struct stat st {};
    return ::stat(classEntry(number).c_str(), &st) == 0 && ::stat(node(number).c_str(), &st) == 0;
}

std::unique_ptr<I2CBus> LinuxI2CBusProvider::open(uint32_t number) {
    int error = 0;
    return openChecked(number, error);
}

std::unique_ptr<I2CBus> LinuxI2CBusProvider::openChecked(uint32_t number, int& error) {
    struct stat st {};
    if (::stat(classEntry(number).c_str(), &st) != 0) {
        error = ENOENT;
        return nullptr;
    }
    const int fd = ::open(node(number).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    error = 0;
    return std::make_unique<LinuxI2CBus>(fd);
}

std::optional<std::filesystem::path> LinuxI2CBusProvider::adapterDir(uint32_t number) const {
    // /sys/class/i2c-dev/i2c-N -> /sys/devices/.../i2c-N/i2c-dev/i2c-N
    std::error_code ec;
    const auto device = std::filesystem::canonical(classEntry(number), ec);
    if (ec || !device.has_parent_path()) return std::nullopt;
    return device.parent_path().parent_path();
}

bool LinuxI2CBusProvider::isDisplayAdapter(uint32_t number) {
    const auto adapter = adapterDir(number);
    if (!adapter) return false;
    // The same test as the udev rules: an owner of PCI class 0x03xxxx, or a
    // DRM device or connector, anywhere above the adapter.
    for (std::filesystem::path dir = *adapter; dir.has_relative_path() && dir.filename() != "devices";
         dir = dir.parent_path()) {
        std::ifstream classFile(dir / "class");
        std::string pciClass;
        if (classFile >> pciClass && pciClass.rfind("0x03", 0) == 0) return true;
        std::error_code ec;
        const auto subsystem = std::filesystem::read_symlink(dir / "subsystem", ec);
        if (!ec && subsystem.filename() == "drm") return true;
    }
    return false;
}

std::optional<std::string> LinuxI2CBusProvider::clientDriver(uint32_t number, uint8_t address) {
    const auto adapter = adapterDir(number);
    if (!adapter) return std::nullopt;
    char client[32];
    std::snprintf(client, sizeof client, "%u-%04x", number, address);
    std::error_code ec;
    const auto driver = std::filesystem::read_symlink(*adapter / client / "driver", ec);
    if (ec || driver.filename().empty()) return std::nullopt;
    return driver.filename().string();
}

}  // namespace quorvel
