// The command-line driver: console output, device watching and the two
// device commands, which always work on the first device in the list.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model/ChipHold.h"
#include "model/FileAccess.h"
#include "model/Progress.h"
#include "model/SourceModel.h"
#include "usb/NotificationCenter.h"
#include "usb/USBAccess.h"

namespace quorvel {

class AUXDisplayManager;
class USBDeviceMonitor;

enum class OutputType { error, standard };

class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    FileAccess connectedFile;
    std::shared_ptr<USBAccess> connectedDevice;
    SourceModel sourceModel;

    // A snapshot of the connected devices, in order of arrival.
    std::vector<std::shared_ptr<USBAccess>> devices() const;

    void USBConnected(const Notification& notification);
    void USBDisconnected(const Notification& notification);
    // Starts the 16 monitors, each on a thread of its own; returns at once.
    void DeviceMonitorStart();
    void setNotificationCenter();
    // Waits until every monitor has announced the devices present at its
    // start, at most `limit`, then applies the removals queued so far.
    bool waitForMonitors(std::chrono::milliseconds limit);

    // The message and a line feed, on standard output or standard error.
    static void writeMessage(const std::string& message, OutputType to);
    // The message on standard output as the command's outcome: the text
    // --json's result carries.
    static void sayOutcome(const std::string& message);
    void helpCommand();
    // All four return false when the command failed.
    bool GetStatus();
    bool USBUpdateProductFirmware(const std::string& firmwareFile);
    // The chip behind an external display, read and upgraded over its DDC bus.
    bool AUXGetStatus();
    bool AUXUpdateProductFirmware(const std::string& firmwareFile);

    // When set, called by the display commands once they have built the
    // display list, before anything is held or sent: it may narrow the list,
    // and false ends the command (it has said why).
    std::function<bool(AUXDisplayManager&)> chooseDisplays;
    // When set, told each progress milestone of an upgrade as it is printed.
    std::function<void(UpgradePhase, int64_t)> milestoneTold;
    // The last message a command printed (empty before any): its outcome.
    static const std::string& lastMessage();

    // The vendor/product pairs watched, in the order the monitors start.
    static std::vector<USBMonitorData> watchedDevices();

private:
    struct ImportedFirmware {
        std::vector<uint8_t> bytes;
        std::string signature;
    };
    // The firmware file's checks shared by both roads, each refusal printed.
    // The AUX road also refuses a file without a version text, as its tab does.
    std::optional<ImportedFirmware> importFirmware(const std::string& firmwareFile, bool versionRequired = false);
    // Lists the displays, takes their buses into `hold` and reads the chips.
    bool externalScreenAnswers(ChipHold& hold);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<USBAccess>> devices_;
    // Removals are handed to the main thread, which applies them before a
    // command takes its snapshot, never during one.
    std::deque<std::function<void()>> mainQueue_;
    std::vector<std::unique_ptr<USBDeviceMonitor>> monitors_;
    std::vector<std::thread> monitorThreads_;
    std::vector<NotificationCenter::Token> observers_;
};

}  // namespace quorvel
