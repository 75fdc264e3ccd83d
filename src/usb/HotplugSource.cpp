#include "usb/HotplugSource.h"

#include <mutex>

#include "model/DeviceTable.h"

namespace quorvel {

std::string USBLocation::portPath() const {
    if (ports.empty()) return {};
    std::string text = std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

std::string USBDevice::chipName() const {
    const std::string product = devices::productName(productId);
    return node.empty() ? product : product + " (" + node + ")";
}

namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<HotplugSource> installed;
    std::shared_ptr<HotplugSource> platform;
};

// Never destroyed: monitor threads may still reach it while the process
// ends, and the platform source's event thread must not be joined from a
// static destructor.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

}  // namespace

std::shared_ptr<HotplugSource> hotplugSource() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.installed) return r.installed;
    if (!r.platform && quorvel_new_platform_hotplug_source != nullptr)
        r.platform.reset(quorvel_new_platform_hotplug_source());
    return r.platform;
}

std::shared_ptr<HotplugSource> installHotplugSource(std::shared_ptr<HotplugSource> source) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto previous = std::move(r.installed);
    r.installed = std::move(source);
    return previous;
}

void shutdownDefaultHotplugSource() {
    std::shared_ptr<HotplugSource> platform;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        platform = std::move(r.platform);
    }
    if (platform) platform->shutdown();
}

}  // namespace quorvel
