#include "cli/DeviceSelector.h"

#include <charconv>
#include <optional>

namespace quorvel {

namespace {

// A decimal number from 1 to 255 (USB buses, ports and addresses), nothing else.
std::optional<uint8_t> byteNumber(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 || value > 255)
        return std::nullopt;
    return static_cast<uint8_t>(value);
}

}  // namespace

DeviceSelector::DeviceSelector(std::string text) : text_(std::move(text)) {
    const std::string_view t = text_;
    if (const size_t colon = t.find(':'); colon != std::string_view::npos) {
        const auto bus = byteNumber(t.substr(0, colon));
        const auto address = byteNumber(t.substr(colon + 1));
        if (bus && address) {
            kind_ = Kind::address;
            bus_ = *bus;
            address_ = *address;
        }
        return;
    }
    const size_t dash = t.find('-');
    if (dash == std::string_view::npos) return;
    const auto bus = byteNumber(t.substr(0, dash));
    if (!bus) return;
    std::vector<uint8_t> ports;
    std::string_view rest = t.substr(dash + 1);
    for (;;) {
        const size_t dot = rest.find('.');
        const auto port = byteNumber(rest.substr(0, dot));
        if (!port) return;
        ports.push_back(*port);
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    kind_ = Kind::port;
    bus_ = *bus;
    ports_ = std::move(ports);
}

bool DeviceSelector::matches(const USBLocation& location) const {
    switch (kind_) {
    case Kind::port: return location.bus == bus_ && location.ports == ports_;
    case Kind::address: return location.bus == bus_ && location.address == address_;
    case Kind::connector: return false;
    }
    return false;
}

bool DeviceSelector::matchesConnector(const std::string& connector) const {
    return kind_ == Kind::connector && connector == text_;
}

}  // namespace quorvel
