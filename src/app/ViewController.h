// The controller of the single window: the USB tab and the AUX tab, the
// shared device list behind both combo boxes, the progress timer, and the
// get-status, browse and update flows of both tabs.
//
// Widgets are touched only on the interface thread: device notifications
// and the upgrade worker hand their results over through a UiQueue. An
// upgrade runs on a worker thread so that the window keeps painting; its
// alerts reach the user through the process's alert sink in the flow's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "model/ChipHold.h"
#include "model/FileAccess.h"
#include "model/SourceModel.h"
#include "usb/NotificationCenter.h"
#include "usb/USBAccess.h"

class QAction;
class QComboBox;
class QMessageBox;
class QPlainTextEdit;

namespace Ui {
class ViewController;
}

namespace quorvel {

class ConfirmationSheet;
class FileChooser;
class UiQueue;

class ViewController : public QMainWindow {
    Q_OBJECT

public:
    struct Seams {
        std::shared_ptr<ConfirmationSheet> sheet;  // WindowModalSheet when empty
        std::shared_ptr<FileChooser> fileChooser;  // DialogFileChooser when empty
    };

    explicit ViewController(Seams seams = {}, QWidget* parent = nullptr);
    ~ViewController() override;

    std::shared_ptr<USBAccess> connectedDevice;
    std::vector<std::shared_ptr<USBAccess>> devices;
    // Every connected device's record, newest first.
    std::vector<USBDevice> deviceInfoSec;
    FileAccess connectedFile;
    SourceModel sourceModels;
    QTimer timer;

    // The combo boxes' data source: "ZK" and the product ID in lower-case
    // hex, or "No device is connected" outside the list.
    int numberOfItems() const;
    QString comboBoxObjectValue(int index) const;

    // Observers of the monitors' notifications; any thread.
    void USBConnected(const Notification& notification);
    void USBDisconnected(const Notification& notification);

    // The timer's tick.
    void Progress();

    // Actions of the two tabs.
    void getStatus() { PresentGetStatus(); }
    void browseFWfile() { PresentBrowseFWfile(); }
    void updateProductFirmware() { PresentUSBUpdateProductFirmware(); }
    void AUXGetStatus() { PresentAUXGetStatus(); }
    void AUXUpdateProductFirmware() { PresentAUXUpdateProductFirmware(); }
    void AUXbrowseFWfile() { PresentBrowseFWfile(); }

    void PresentGetStatus();
    void PresentBrowseFWfile();
    void PresentUSBUpdateProductFirmware();
    void PresentAUXGetStatus();
    void PresentAUXUpdateProductFirmware();

    QAction* advancedModeAction() const;
    // From the confirmation's "OK" until the outcome alert is dismissed.
    bool isUpgrading() const { return handsOff_; }
    // Runs the event loop until a running upgrade has finished and been reported.
    void waitForUpgrade();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void viewDidLoad();
    void applyConnected(const USBDevice& device);
    void applyDisconnected(uint64_t id);
    void firmwareFileChosen(const std::optional<QString>& path);
    std::optional<std::string> checkedFirmwareSignature();
    void usbConfirmed(std::shared_ptr<USBAccess> device, int64_t chipID, const std::string& ispPath);
    void auxConfirmed(const std::string& ispPath);
    // Runs `job` on the worker thread, then `finish(succeeded)` on the
    // interface thread, and then gives the window back to the user.
    // `device` names the chip in the inhibitor's reason.
    void runUpgrade(std::function<void()> job, std::function<void(bool succeeded)> finish, const std::string& device);
    // While an upgrade is on, nothing but the upgrade talks to a chip and the
    // user cannot change the device, the file or the advanced mode.
    // The CAUTION sheet was answered; declined, the chips are let go and
    // the devices that arrived meanwhile are read.
    void confirmationAnswered(bool confirmed);
    void beginHandsOff();
    void endHandsOff();
    void updateControls();
    void readDeferredVersions();
    void showCloseWarning();
    void dismissCloseWarning();
    std::vector<std::string> auxUpgradeTargets() const;

    void reloadComboBoxes();
    void selectFirstItem();
    // Reloads both boxes; each keeps its selected device when `keep` and the
    // device is still listed, otherwise takes the first item.
    void reloadKeepingSelection(bool keep);
    static std::optional<uint64_t> selectedId(const QComboBox* box);
    // The version shown belongs to one device; another selection clears it.
    void usbSelectionMoved();
    void setUSBProgressShown(bool shown);
    void setAUXProgressShown(bool shown);
    static void appendLog(QPlainTextEdit* log, const std::string& text);
    static void alert(const std::string& title, const std::string& text);
    // Takes a command's chips; when another program has one, shows the
    // "ERROR" alert and the hold is busy.
    static ChipHold holdChips(const std::vector<std::string>& places);

    std::unique_ptr<Ui::ViewController> ui_;
    Seams seams_;
    std::shared_ptr<UiQueue> queue_;
    std::vector<NotificationCenter::Token> observers_;
    std::thread worker_;
    bool upgradeRunning_ = false;  // the worker is writing a chip
    bool handsOff_ = false;
    // The CAUTION sheet is open for checked chips: devices coming and going
    // neither move the selection the user is confirming nor are asked yet.
    bool confirming_ = false;
    // What arrivals and removals leave the device boxes at, apart from an upgrade.
    bool usbBoxArmed_ = false;
    bool auxBoxArmed_ = false;
    // Devices that arrived during a confirmation or an upgrade, whose version
    // read waits for its end.
    std::vector<uint64_t> deferredVersionReads_;
    std::optional<uint64_t> statusDeviceId_;
    // The file and mode the list was last narrowed for.
    struct NarrowingKey {
        std::string version;
        int64_t product = -1;
        bool operator==(const NarrowingKey&) const = default;
    };
    std::optional<NarrowingKey> narrowedFor_;
    QPointer<QMessageBox> closeWarning_;
    // An update's chips, from its first request through the confirmation
    // to the end of the upgrade.
    ChipHold chipHold_;
};

}  // namespace quorvel
