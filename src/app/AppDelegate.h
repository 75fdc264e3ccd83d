// The desktop program's delegate: the 16 USB device watchers started at
// launch, the display list built through configure(), and the advanced-mode
// menu item.
#pragma once

#include <array>
#include <memory>
#include <thread>
#include <vector>

#include <QObject>

#include "model/SourceModel.h"
#include "usb/USBDevice.h"

class QAction;

namespace quorvel {

class USBDeviceMonitor;

class AppDelegate : public QObject {
    Q_OBJECT

public:
    // Cheap: the watchers are made at launch, so that a delegate made only
    // to call configure() costs nothing.
    explicit AppDelegate(QObject* parent = nullptr);
    // Waits for the watchers' start threads, then stops the watchers.
    ~AppDelegate() override;

    SourceModel USBModels;

    // The vendor/product pair of each watcher, in order of creation and start.
    static const std::array<USBMonitorData, 16>& watchedDevices();
    const std::vector<std::unique_ptr<USBDeviceMonitor>>& deviceMonitors() const { return monitors_; }

    // Creates the watchers and starts each on a thread of its own, in order,
    // then configures the displays.
    void applicationDidFinishLaunching();

    int sleepID = 0;
    int reconfigureID = 0;
    // Rebuilds the display list unless held back by sleepID or an outdated ID.
    void configure(int dispatchedReconfigureID = 0, bool firstrun = false);

    // Wires a checkable menu item to advancedModeItem().
    void connectAdvancedModeItem(QAction* item);
    // The item's action: Qt has already toggled a checkable item when this
    // runs, so its state is the new one.
    void advancedModeItem(QAction* item);

    void applicationWillTerminate() {}
    static bool applicationSupportsSecureRestorableState() { return true; }
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

private:
    std::vector<std::unique_ptr<USBDeviceMonitor>> monitors_;
    std::vector<std::thread> threads_;
};

}  // namespace quorvel
