// The display buses through i2c-dev: /dev/i2c-N, I2C_FUNCS and I2C_RDWR.
#pragma once

#include <filesystem>
#include <string>

#include "display/I2CBus.h"

namespace quorvel {

class LinuxI2CBus : public I2CBus {
public:
    explicit LinuxI2CBus(int fd) : fd_(fd) {}
    ~LinuxI2CBus() override;
    LinuxI2CBus(const LinuxI2CBus&) = delete;
    LinuxI2CBus& operator=(const LinuxI2CBus&) = delete;

    std::optional<unsigned long> functionality() override;
    TransferResult write(uint8_t address, std::span<const uint8_t> data) override;
    TransferResult writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                             std::span<uint8_t> reply) override;

private:
    int fd_;
};

class LinuxI2CBusProvider : public I2CBusProvider {
public:
    explicit LinuxI2CBusProvider(std::string sysClass = "/sys/class/i2c-dev", std::string dev = "/dev")
        : sysClass_(std::move(sysClass)), dev_(std::move(dev)) {}
    std::optional<std::vector<uint32_t>> buses() override;
    bool exists(uint32_t number) override;
    std::unique_ptr<I2CBus> open(uint32_t number) override;
    std::unique_ptr<I2CBus> openChecked(uint32_t number, int& error) override;
    bool isDisplayAdapter(uint32_t number) override;
    std::optional<std::string> clientDriver(uint32_t number, uint8_t address) override;
    std::string place(uint32_t number) const override { return node(number); }

private:
    std::string node(uint32_t number) const;
    std::string classEntry(uint32_t number) const;
    std::optional<std::filesystem::path> adapterDir(uint32_t number) const;
    std::string sysClass_;
    std::string dev_;
};

}  // namespace quorvel
