#include "app/AppDelegate.h"

#include <QAction>

#include "display/AUXDisplayManager.h"
#include "model/Log.h"
#include "model/DeviceTable.h"
#include "model/Settings.h"
#include "usb/USBDeviceMonitor.h"

namespace quorvel {

const std::array<USBMonitorData, 16>& AppDelegate::watchedDevices() {
    static const std::array<USBMonitorData, 16> pairs = [] {
        std::array<USBMonitorData, 16> out{};
        static_assert(out.size() == devices::supported.size());
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = {devices::supported[i].vendorId, devices::supported[i].productId};
        return out;
    }();
    return pairs;
}

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() {
    for (auto& thread : threads_) thread.join();  // start() returns once armed
    monitors_.clear();
}

void AppDelegate::applicationDidFinishLaunching() {
    if (monitors_.empty()) {
        for (const auto& pair : watchedDevices())
            monitors_.push_back(std::make_unique<USBDeviceMonitor>(std::vector<USBMonitorData>{pair}));
        threads_.reserve(monitors_.size());
        for (auto& monitor : monitors_) threads_.emplace_back([m = monitor.get()] { m->start(); });
    }
    configure(0, true);
}

void AppDelegate::configure(int dispatchedReconfigureID, bool /*firstrun*/) {
    if (sleepID != 0) return;
    if (dispatchedReconfigureID != reconfigureID) return;
    logLine(LogLevel::info, "Request for configuration with reconfigreID " + std::to_string(dispatchedReconfigureID));
    reconfigureID = 0;
    auto& manager = AUXDisplayManager::shared();
    manager.configureDisplays();
    manager.updateArm64AVServices();
}

void AppDelegate::connectAdvancedModeItem(QAction* item) {
    item->setCheckable(true);
    item->setChecked(advancedMode);
    connect(item, &QAction::triggered, this, [this, item] { advancedModeItem(item); });
}

void AppDelegate::advancedModeItem(QAction* item) {
    if (item->isChecked()) {
        advancedMode = true;
        SourceModel::AlertHandler("Warning",
                                  "CAUTION: Mistake proofing will be deavtivated!\n\nUsers have to take their own "
                                  "risk without warranty. It may damage your device.");
    } else {
        advancedMode = false;
    }
}

}  // namespace quorvel
