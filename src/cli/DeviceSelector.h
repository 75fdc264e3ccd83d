// The chip a command works on, as the user names it with --device: a USB
// chip by "<bus>-<port path>" (the kernel's name of the port, stable while
// the chip stays in it) or by "<bus>:<address>", a display by its connector
// name ("card0-DP-1").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/USBDevice.h"

namespace quorvel {

class DeviceSelector {
public:
    explicit DeviceSelector(std::string text);

    const std::string& text() const { return text_; }
    bool namesUsb() const { return kind_ != Kind::connector; }
    bool matches(const USBLocation& location) const;
    bool matchesConnector(const std::string& connector) const;

private:
    enum class Kind { port, address, connector };
    std::string text_;
    Kind kind_ = Kind::connector;
    uint8_t bus_ = 0;
    std::vector<uint8_t> ports_;
    uint8_t address_ = 0;
};

}  // namespace quorvel
