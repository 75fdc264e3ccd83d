#include "app/ViewController.h"

#include <algorithm>
#include <any>
#include <cstdio>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QScrollBar>

#include "app/AppDelegate.h"
#include "app/Interaction.h"
#include "app/UiQueue.h"
#include "cli/Milestones.h"
#include "display/AUXDisplayManager.h"
#include "display/Arm64DDC.h"
#include "display/AuxPacket.h"
#include "model/ChipHold.h"
#include "model/Log.h"
#include "model/DeviceTable.h"
#include "model/Preferences.h"
#include "model/UpgradeGuard.h"
#include "model/Sentinels.h"
#include "model/Settings.h"
#include "ui_ViewController.h"

// The images live in this static library; nothing else would pull them in.
static void initResources() { Q_INIT_RESOURCE(quorvel); }

namespace quorvel {

namespace {

const char* const kNoDevice = "No device is connected!\nPlease connect the device first.";
const char* const kNoScreen = "No External Screen connected!\nPlease connect the screen first.";
const std::string& kReplug = sentinel::replugDevice;
const char* const kCautionText =
    "The following process will upgrade the device with opened firmware file. \n\nDO NOT disconnect the device!";
const char* const kFailed = "Upgrade process FAILED.\nPlease replug the device and try again!";

std::optional<USBDevice> deviceOf(const Notification& notification) {
    auto it = notification.object.find("device");
    if (it == notification.object.end()) return std::nullopt;
    const auto* device = std::any_cast<USBDevice>(&it->second);
    return device ? std::optional<USBDevice>(*device) : std::nullopt;
}

std::optional<uint64_t> removedIdOf(const Notification& notification) {
    auto it = notification.object.find("id");
    if (it == notification.object.end()) return std::nullopt;
    const auto* id = std::any_cast<uint64_t>(&it->second);
    return id ? std::optional<uint64_t>(*id) : std::nullopt;
}

// The product ID a version text names ("ZK6121..." -> 0x6121, "ZK61x0..." ->
// 0x6100), or -1 when it names none, in which case the list is not narrowed.
int64_t productFilterOf(const std::string& version) {
    if (version.find("ZK") == std::string::npos || version.size() < 6) return -1;
    const std::string digits = version.substr(2, 4);
    if (digits == "61x0") return 0x6100;
    int64_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return -1;
        value = value * 16 + d;
    }
    return value;
}

std::optional<std::vector<uint8_t>> readFile(const std::string& urlText) {
    return FileAccess::GetBinaryFile(FileAccess::fileURL(urlText));
}

// "USB bus 1, port 4" (ports behind hubs joined by dots), or empty when the
// platform did not say.
std::string usbPlace(const USBDevice& device) {
    if (device.busNumber == 0) return {};
    std::string place = "USB bus " + std::to_string(device.busNumber);
    for (size_t i = 0; i < device.portNumbers.size(); ++i)
        place += (i == 0 ? ", port " : ".") + std::to_string(device.portNumbers[i]);
    return place;
}

// The log line that says which chip an upgrade was for.
std::string deviceLine(const std::string& product, const std::string& place) {
    return "\nDevice: " + product + (place.empty() ? std::string() : " (" + place + ")");
}

// The image the firmware file carries, bytes past it left out; nothing when
// the file cannot be read or no longer passes the size rule.
std::optional<std::vector<uint8_t>> readFirmwareImage(const std::string& urlText) {
    auto bytes = readFile(urlText);
    if (!bytes) return std::nullopt;
    const auto image = FileAccess::FirmwareImageOf(*bytes);
    if (!image) return std::nullopt;
    bytes->resize(image->size());
    return bytes;
}

}  // namespace

ViewController::ViewController(Seams seams, QWidget* parent)
    : QMainWindow(parent),
      ui_(std::make_unique<Ui::ViewController>()),
      seams_(std::move(seams)),
      queue_(UiQueue::create()) {
    initResources();
    if (!seams_.sheet) seams_.sheet = std::make_shared<WindowModalSheet>();
    if (!seams_.fileChooser) seams_.fileChooser = std::make_shared<DialogFileChooser>();
    ui_->setupUi(this);
    viewDidLoad();
}

ViewController::~ViewController() {
    for (auto token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
    waitForUpgrade();
    queue_->close();
    if (worker_.joinable()) worker_.join();
}

QAction* ViewController::advancedModeAction() const { return ui_->actionAdvancedMode; }

void ViewController::viewDidLoad() {
    for (QComboBox* box : {ui_->deviceComboBox, ui_->AUXDeviceComboBox}) {
        box->setEditable(false);
        box->setEnabled(false);
        box->clear();
        box->setPlaceholderText(comboBoxObjectValue(-1));
    }
    reloadComboBoxes();
    setUSBProgressShown(false);
    setAUXProgressShown(false);
    for (auto* bar : {ui_->USBProgressBar, ui_->AUXProgressBar}) bar->setRange(0, 100);
    for (auto* button : {ui_->getStatusButton, ui_->browseButton, ui_->updateButton, ui_->AUXGetStatusButton,
                         ui_->AUXBrowseButton, ui_->AUXUpdateButton})
        button->awakeFromNib();

    connect(ui_->getStatusButton, &QPushButton::clicked, this, [this] { getStatus(); });
    connect(ui_->browseButton, &QPushButton::clicked, this, [this] { browseFWfile(); });
    connect(ui_->updateButton, &QPushButton::clicked, this, [this] { updateProductFirmware(); });
    connect(ui_->AUXGetStatusButton, &QPushButton::clicked, this, [this] { AUXGetStatus(); });
    connect(ui_->AUXBrowseButton, &QPushButton::clicked, this, [this] { AUXbrowseFWfile(); });
    connect(ui_->AUXUpdateButton, &QPushButton::clicked, this, [this] { AUXUpdateProductFirmware(); });
    connect(ui_->actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(ui_->deviceComboBox, &QComboBox::currentIndexChanged, this, [this] { usbSelectionMoved(); });

    // The progress timer runs on the interface thread: it writes widgets.
    timer.setInterval(100);
    connect(&timer, &QTimer::timeout, this, [this] { Progress(); });
    timer.start();

    // Observers run on the monitors' threads and only hand the news over;
    // they may still run after this window is gone, so they hold the queue,
    // never the window.
    auto& center = NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(USBDeviceConnected, [queue = queue_, self = this](const Notification& n) {
        if (auto device = deviceOf(n)) queue->post([self, device = *device] { self->applyConnected(device); });
    }));
    observers_.push_back(
        center.addObserver(USBDeviceDisconnected, [queue = queue_, self = this](const Notification& n) {
            if (auto id = removedIdOf(n)) queue->post([self, id = *id] { self->applyDisconnected(id); });
        }));
}

// --- Device list ---

int ViewController::numberOfItems() const { return static_cast<int>(devices.size()); }

QString ViewController::comboBoxObjectValue(int index) const {
    if (index < 0 || index >= numberOfItems()) return QStringLiteral("No device is connected");
    return QString::fromStdString(devices::productName(devices[static_cast<size_t>(index)]->deviceInfo.productId));
}

void ViewController::reloadComboBoxes() {
    for (QComboBox* box : {ui_->deviceComboBox, ui_->AUXDeviceComboBox}) {
        const QSignalBlocker block(box);
        box->clear();
        for (int i = 0; i < numberOfItems(); ++i)
            box->addItem(comboBoxObjectValue(i),
                         QVariant::fromValue<qulonglong>(devices[static_cast<size_t>(i)]->deviceInfo.id));
        box->setCurrentIndex(-1);
    }
}

void ViewController::selectFirstItem() {
    for (QComboBox* box : {ui_->deviceComboBox, ui_->AUXDeviceComboBox}) box->setCurrentIndex(devices.empty() ? -1 : 0);
}

std::optional<uint64_t> ViewController::selectedId(const QComboBox* box) {
    const QVariant id = box->currentData();
    if (!id.isValid()) return std::nullopt;
    return id.toULongLong();
}

void ViewController::reloadKeepingSelection(bool keep) {
    const auto usbId = selectedId(ui_->deviceComboBox);
    const auto auxId = selectedId(ui_->AUXDeviceComboBox);
    reloadComboBoxes();
    for (auto [box, id] : {std::pair{ui_->deviceComboBox, usbId}, std::pair{ui_->AUXDeviceComboBox, auxId}}) {
        const int kept = keep && id ? box->findData(QVariant::fromValue<qulonglong>(*id)) : -1;
        box->setCurrentIndex(kept >= 0 ? kept : devices.empty() ? -1 : 0);
    }
    usbSelectionMoved();
}

void ViewController::usbSelectionMoved() {
    const auto id = selectedId(ui_->deviceComboBox);
    if (id == statusDeviceId_) return;
    ui_->getStatusLabel->clear();
    statusDeviceId_.reset();
}

void ViewController::USBConnected(const Notification& notification) {
    if (auto device = deviceOf(notification)) queue_->post([this, device = *device] { applyConnected(device); });
}

void ViewController::USBDisconnected(const Notification& notification) {
    if (auto id = removedIdOf(notification)) queue_->post([this, id = *id] { applyDisconnected(id); });
}

void ViewController::applyConnected(const USBDevice& device) {
    deviceInfoSec.insert(deviceInfoSec.begin(), device);
    devices.push_back(std::make_shared<USBAccess>(device));
    usbBoxArmed_ = true;
    auxBoxArmed_ = true;
    updateControls();
    if (handsOff_ || confirming_) {
        // The list tells the truth at once; the chip is asked only once the
        // upgrade has ended or was declined, and the selection stays on the
        // device being confirmed or upgraded.
        reloadKeepingSelection(true);
        deferredVersionReads_.push_back(device.id);
        return;
    }
    reloadComboBoxes();
    selectFirstItem();
    usbSelectionMoved();
    const int index = ui_->deviceComboBox->currentIndex();
    if (index < 0 || index >= numberOfItems()) return;
    connectedDevice = devices[static_cast<size_t>(index)];
    // A chip another program is upgrading is not disturbed, not even asked.
    const ChipHold hold = ChipHold::take(connectedDevice->deviceInfo.node);
    if (hold.busy()) return;
    try {
        const std::string version = connectedDevice->GetVersion();
        preferences().setString("deviceVersion", version);
        preferences().sync();
    } catch (const std::exception& e) {
        logLine(LogLevel::error, "USB version read failed: " + causeOf(e).describe());
    }
}

void ViewController::applyDisconnected(uint64_t id) {
    usbBoxArmed_ = false;
    updateControls();
    auto found = std::find_if(devices.begin(), devices.end(), [id](const auto& d) { return d->deviceInfo.id == id; });
    if (found != devices.end()) devices.erase(found);
    ui_->getStatusLabel->clear();
    ui_->AUXGetStatusLabel->clear();
    reloadKeepingSelection(handsOff_ || confirming_);
    auto record =
        std::find_if(deviceInfoSec.begin(), deviceInfoSec.end(), [id](const USBDevice& d) { return d.id == id; });
    if (record != deviceInfoSec.end()) deviceInfoSec.erase(record);
}

void ViewController::Progress() {
    const int64_t usb = percentCompleted;
    const int64_t aux = AUXpercentCompleted;
    ui_->progressValue->setText(QString::number(usb) + "%");
    ui_->AUXProgressValue->setText(QString::number(aux) + "%");
    ui_->USBProgressBar->setValue(static_cast<int>(std::clamp<int64_t>(usb, 0, 100)));
    ui_->AUXProgressBar->setValue(static_cast<int>(std::clamp<int64_t>(aux, 0, 100)));

    // A version text that names no product leaves the list whole.
    deviceFilter = !firmwareVersion.empty() && !advancedMode && pidFilter >= 0;

    bool changed = false;
    if (deviceFilter) {
        // Another file or the end of advanced mode: narrow again from every
        // connected device, not from what an earlier file left.
        const NarrowingKey key{firmwareVersion, pidFilter};
        if (narrowedFor_ != key) {
            devices.clear();
            for (const USBDevice& record : deviceInfoSec) devices.push_back(std::make_shared<USBAccess>(record));
            narrowedFor_ = key;
            changed = true;
        }
    } else {
        narrowedFor_.reset();
    }
    if (deviceFilter && !advancedMode) {
        auto other = std::find_if(devices.begin(), devices.end(),
                                  [](const auto& d) { return d->deviceInfo.productId != pidFilter; });
        if (other != devices.end()) {
            devices.erase(other);
            changed = true;
        }
    }
    if (!deviceFilter && devices.size() != deviceInfoSec.size()) {
        devices.clear();
        for (const USBDevice& record : deviceInfoSec) devices.push_back(std::make_shared<USBAccess>(record));
        ui_->getStatusLabel->clear();
        statusDeviceId_.reset();
        changed = true;
    }
    if (changed) reloadKeepingSelection(true);
}

// --- Shared helpers ---

void ViewController::appendLog(QPlainTextEdit* log, const std::string& text) {
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromStdString(text));
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
}

void ViewController::alert(const std::string& title, const std::string& text) {
    SourceModel::AlertHandler(title, text);
}

ChipHold ViewController::holdChips(const std::vector<std::string>& places) {
    ChipHold hold = ChipHold::take(places);
    if (hold.busy()) alert("ERROR", kDeviceInUse);
    return hold;
}

void ViewController::setUSBProgressShown(bool shown) {
    ui_->USBProgressBar->setVisible(shown);
    ui_->progressValue->setVisible(shown);
}

void ViewController::setAUXProgressShown(bool shown) {
    ui_->AUXProgressBar->setVisible(shown);
    ui_->AUXProgressValue->setVisible(shown);
}

void ViewController::updateControls() {
    ui_->deviceComboBox->setEnabled(usbBoxArmed_ && !handsOff_);
    ui_->AUXDeviceComboBox->setEnabled(auxBoxArmed_ && !handsOff_);
    for (auto* button : {ui_->getStatusButton, ui_->browseButton, ui_->updateButton, ui_->AUXGetStatusButton,
                         ui_->AUXBrowseButton, ui_->AUXUpdateButton})
        button->setEnabled(!handsOff_);
    ui_->actionAdvancedMode->setEnabled(!handsOff_);
}

// --- USB tab ---

void ViewController::PresentGetStatus() {
    if (handsOff_) return;
    deviceVersion.clear();
    const int index = ui_->deviceComboBox->currentIndex();
    if (devices.empty() || index < 0 || index >= numberOfItems()) {
        alert("WARNING", kNoDevice);
        return;
    }
    connectedDevice = devices[static_cast<size_t>(index)];
    const ChipHold hold = holdChips({connectedDevice->deviceInfo.node});
    if (hold.busy()) return;
    std::string version;
    try {
        version = connectedDevice->GetVersion();
    } catch (const std::exception& e) {
        logLine(LogLevel::error, "USB version read failed: " + causeOf(e).describe());
        return;
    }
    statusDeviceId_ = connectedDevice->deviceInfo.id;
    if (version.find("ZK") != std::string::npos || version.find('\0') == std::string::npos) {
        ui_->getStatusLabel->setText(QString::fromStdString(version));
        appendLog(ui_->scrollView, "\nFirmware version was retrieved.");
    } else if (version != kReplug) {
        ui_->getStatusLabel->setText(QStringLiteral("No version information.\nFirmware is not updated correctly!"));
        appendLog(ui_->scrollView, "\nNo version information.");
    }
    preferences().setString("deviceVersion", ui_->getStatusLabel->text().toStdString());
    preferences().sync();
}

void ViewController::PresentBrowseFWfile() {
    if (handsOff_) return;
    ui_->binaryFileVersionLabel->clear();
    ui_->AUXBinaryFileVersionLabel->clear();
    preferences().remove("userSelectedPath");
    preferences().remove("fwVersion");
    seams_.fileChooser->choose(this, [self = QPointer<ViewController>(this)](std::optional<QString> path) {
        if (self) self->firmwareFileChosen(path);
    });
}

void ViewController::firmwareFileChosen(const std::optional<QString>& path) {
    // A panel left open must not change the file under a running upgrade.
    if (handsOff_) return;
    if (!path) {
        ui_->binaryFileVersionLabel->clear();
        ui_->AUXBinaryFileVersionLabel->clear();
        preferences().remove("userSelectedPath");
        preferences().remove("fwVersion");
        return;
    }
    // The stored text keeps the plain path after "file://" (only a name that
    // is not UTF-8 is escaped); the path is the file's bytes, which Qt's text
    // may not carry.
    const std::string urlText = FileAccess::fileURLText(FileAccess::localPathOf(*path));
    const auto bytes = readFile(urlText);
    if (!bytes) {
        alert("ERROR", "No firmware file found.");
        return;
    }
    const std::string version = connectedFile.GetFwVersion(SourceModel::BackData(*bytes));
    if (version == "NoFwVersion") {
        alert("WARNING", "No version info in this file!");
        return;
    }
    ui_->binaryFileVersionLabel->setText(QString::fromStdString(version));
    ui_->AUXBinaryFileVersionLabel->setText(QString::fromStdString(version));
    Preferences& prefs = preferences();
    prefs.setString("userSelectedPath", urlText);
    prefs.setString("fwVersion", version);
    prefs.sync();
    firmwareVersion = prefs.string("fwVersion").value_or("");
    pidFilter = productFilterOf(firmwareVersion);
    appendLog(ui_->scrollView, "\nFirmware file was imported!");
    appendLog(ui_->AUXScrollView, "\nFirmware file was imported!");
}

// The firmware file checks both tabs make, in their order; the chip signature
// when they pass, nothing (after any alert) when they do not.
std::optional<std::string> ViewController::checkedFirmwareSignature() {
    if (selectedPath.empty()) {
        alert("ERROR", "Opened firmware file has been removed!");
        return std::nullopt;
    }
    if (firmwareVersion == "NoFwVersion") {
        alert("ERROR", "Incorrect firmware file imported!");
        return std::nullopt;
    }
    if (deviceVersion == kReplug) return std::nullopt;
    std::string signature = connectedFile.GetChipSignature();
    if (signature == sentinel::firmwareFileNotCorrect) {
        alert("ERROR", "Incorrect firmware file imported!");
        return std::nullopt;
    }
    if (signature == sentinel::noFirmwareFile) {
        alert("ERROR", "The firmware file cannot be accessed!");
        return std::nullopt;
    }
    return signature;
}

void ViewController::PresentUSBUpdateProductFirmware() {
    if (handsOff_) return;
    Preferences& prefs = preferences();
    selectedPath = prefs.string("userSelectedPath").value_or("");

    const int index = ui_->deviceComboBox->currentIndex();
    if (devices.empty() || index < 0 || index >= numberOfItems()) {
        alert("WARNING", kNoDevice);
        return;
    }
    // The update works on the device selected now, never on an earlier one.
    connectedDevice = devices[static_cast<size_t>(index)];

    if (ui_->binaryFileVersionLabel->text().isEmpty() && ui_->AUXBinaryFileVersionLabel->text().isEmpty()) {
        alert("ERROR", "No firmware file opened!");
        return;
    }
    // Held from the first request through the confirmation to the last.
    ChipHold hold = holdChips({connectedDevice->deviceInfo.node});
    if (hold.busy()) return;
    int64_t chipID = 0;
    try {
        deviceVersion = connectedDevice->GetVersion();
        chipID = connectedDevice->GetChipID();
    } catch (const std::exception& e) {
        logLine(LogLevel::error, "USB chip identification failed: " + causeOf(e).describe());
        alert("ERROR", "Incorrect chip ID.");
        return;
    }
    const auto checked = checkedFirmwareSignature();
    if (!checked) return;
    const std::string& signature = *checked;
    const std::string ispPath = connectedFile.USBGetISPFilePath(chipID);
    const std::string ispSignature = connectedFile.GetISPSignature();
    if (ispSignature != sentinel::loaderSignature) {
        alert("ERROR", ispSignature);
        return;
    }
    const auto loader = readFile(ispPath);
    const std::string ispVersion = connectedFile.GetISPVersion(loader ? SourceModel::BackData(*loader) : std::string());
    if (ispVersion == "NoVersionInfo") {
        alert("ERROR", "NoVersionInfo");
        return;
    }
    const std::string ispChipName = ispVersion.substr(0, ispVersion.find(' '));
    if (!advancedMode && !connectedDevice->ConsistencyOfDeviceAndFile(chipID, signature)) {
        alert("ERROR", "Opened firmware file cannot be used for selected device!");
        return;
    }
    if (!connectedDevice->ConsistencyOfDeviceAndISP(chipID, ispChipName)) {
        alert("ERROR", "The ISP file cannot be accessed!");
        return;
    }

    setUSBProgressShown(true);
    chipHold_ = std::move(hold);
    confirming_ = true;
    seams_.sheet->present(this, QStringLiteral("CAUTION"), QString::fromUtf8(kCautionText),
                          [self = QPointer<ViewController>(this), device = connectedDevice, chipID,
                           ispPath](bool confirmed) {
                              if (!self) return;
                              self->confirmationAnswered(confirmed);
                              // Declined: the progress controls stay shown, as before.
                              if (confirmed) self->usbConfirmed(device, chipID, ispPath);
                          });
}

void ViewController::usbConfirmed(std::shared_ptr<USBAccess> device, int64_t chipID, const std::string& ispPath) {
    if (handsOff_) return;
    beginHandsOff();
    auto hold = std::make_shared<ChipHold>(std::move(chipHold_));
    appendLog(ui_->scrollView, "\nStart to upgrade firmware!");
    const auto firmware = readFirmwareImage(selectedPath);
    if (!firmware) {
        setUSBProgressShown(false);
        alert("ERROR", "Firmware file cannot be read!");
        endHandsOff();
        return;
    }
    const auto loader = readFile(ispPath);
    if (!loader) {
        setUSBProgressShown(false);
        alert("ERROR", "ISP file cannot be read!");
        endHandsOff();
        return;
    }
    const uint16_t product = device->deviceInfo.productId;
    maxPktSize = devices::maxPacketSize(product);
    percentCompleted = 0;

    runUpgrade(
        [device, loader = *loader, firmware = *firmware, chipID, hold] {
            const auto release = qScopeGuard([&hold] { hold->release(); });
            // The engine's milestone lines on standard output, as the command line prints them.
            MilestoneLines lines(MilestoneRule::leaving, [](const std::string& line) { writeLine(line); });
            device->USBFirmware(loader, firmware, chipID, lines.observer());
        },
        [this, record = device->deviceInfo](bool succeeded) {
            const std::string which = deviceLine(devices::productName(record.productId), usbPlace(record));
            if (succeeded) {
                appendLog(ui_->scrollView, "\nUpgrade Completed!");
                appendLog(ui_->scrollView, "\nPlease unplug and replug the device!");
                appendLog(ui_->scrollView, which);
                alert("Firmware Upgrade Completed!",
                      "Please unplug and replug the device for checking the firmware version.");
                setUSBProgressShown(false);
                ui_->getStatusLabel->clear();
                deviceVersion.clear();
                percentCompleted = 0;
                serialNo = 0;
            } else {
                setUSBProgressShown(false);
                appendLog(ui_->scrollView, std::string("\n") + kFailed);
                appendLog(ui_->scrollView, which);
                alert("WARNING", kFailed);
                percentCompleted = 0;
            }
        },
        device->deviceInfo.chipName());
}

// --- Upgrade worker ---

void ViewController::runUpgrade(std::function<void()> job, std::function<void(bool succeeded)> finish,
                                const std::string& device) {
    upgradeRunning_ = true;
    // No sleep or shutdown meanwhile; a signal waits until the outcome is shown.
    auto guard = std::make_shared<UpgradeGuard>(device);
    worker_ = std::thread([this, queue = queue_, job = std::move(job), finish = std::move(finish), guard]() mutable {
        bool succeeded = true;
        try {
            job();
        } catch (...) {
            succeeded = false;
        }
        guard->sequenceEnded();
        queue->post([this, succeeded, finish = std::move(finish), guard = std::move(guard)]() mutable {
            worker_.join();
            upgradeRunning_ = false;
            dismissCloseWarning();
            // The last progress the engine wrote, before the outcome is shown.
            Progress();
            finish(succeeded);
            endHandsOff();
            guard.reset();
            if (DeferredSignals::received() != 0) QCoreApplication::exit(succeeded ? 0 : 1);
        });
    });
}

void ViewController::confirmationAnswered(bool confirmed) {
    confirming_ = false;
    if (confirmed) return;  // the upgrade takes over the hold and the deferred reads
    chipHold_.release();
    readDeferredVersions();
}

void ViewController::beginHandsOff() {
    handsOff_ = true;
    updateControls();
}

void ViewController::endHandsOff() {
    handsOff_ = false;
    updateControls();
    readDeferredVersions();
}

// The version read a connection makes, for each device that arrived during
// the confirmation or the upgrade and is still connected, in the order they
// came.
void ViewController::readDeferredVersions() {
    const std::vector<uint64_t> pending = std::move(deferredVersionReads_);
    deferredVersionReads_.clear();
    for (const uint64_t id : pending) {
        auto record =
            std::find_if(deviceInfoSec.begin(), deviceInfoSec.end(), [id](const USBDevice& d) { return d.id == id; });
        if (record == deviceInfoSec.end()) continue;
        auto listed =
            std::find_if(devices.begin(), devices.end(), [id](const auto& d) { return d->deviceInfo.id == id; });
        auto device = listed != devices.end() ? *listed : std::make_shared<USBAccess>(*record);
        const ChipHold hold = ChipHold::take(device->deviceInfo.node);
        if (hold.busy()) continue;  // another program has it
        try {
            const std::string version = device->GetVersion();
            preferences().setString("deviceVersion", version);
            preferences().sync();
        } catch (const std::exception& e) {
            logLine(LogLevel::error, "USB version read failed: " + causeOf(e).describe());
        }
    }
    const int index = ui_->deviceComboBox->currentIndex();
    if (!pending.empty() && index >= 0 && index < numberOfItems())
        connectedDevice = devices[static_cast<size_t>(index)];
}

void ViewController::waitForUpgrade() {
    while (handsOff_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void ViewController::closeEvent(QCloseEvent* event) {
    if (upgradeRunning_) {
        // Closing now would leave the chip half-written with nobody told.
        event->ignore();
        showCloseWarning();
        return;
    }
    timer.stop();
    event->accept();
}

// Not a blocking alert: it goes away by itself once the upgrade it warns
// about has ended, so that it never outlives the reason for it.
void ViewController::showCloseWarning() {
    if (closeWarning_) {
        closeWarning_->raise();
        closeWarning_->activateWindow();
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("WARNING"), QStringLiteral("WARNING"),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("closeRefusalWarning"));
    box->setInformativeText(
        QStringLiteral("The firmware upgrade is still running.\nDO NOT close the window or "
                       "disconnect the device until it has finished."));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    closeWarning_ = box;
    box->open();
}

void ViewController::dismissCloseWarning() {
    if (closeWarning_) closeWarning_->close();
}

// --- AUX tab ---

void ViewController::PresentAUXGetStatus() {
    if (handsOff_) return;
    AUXdeviceVersion.clear();
    AppDelegate().configure();
    auto& manager = AUXDisplayManager::shared();
    const ChipHold hold = holdChips(manager.chipPlacesIntel());
    if (hold.busy()) return;
    manager.readVersionIntel();
    if (devices.empty()) {
        ui_->AUXGetStatusLabel->clear();
        alert("WARNING", kNoDevice);
        return;
    }
    if (Arm64DDC::isArm64) {
        if (serviceMatchDisplayIDM1 <= 1) {
            ui_->AUXGetStatusLabel->clear();
            alert("WARNING", kNoScreen);
            return;
        }
        ui_->AUXGetStatusLabel->setText(QString::fromStdString(preferences().string("FirmwareVersionM1").value_or("")));
        appendLog(ui_->AUXScrollView, "\nFirmware version was retrieved.");
        return;
    }
    if (serviceMatchDisplayIDIntel != 1) {
        writeLine(std::to_string(serviceMatchDisplayIDIntel.load()));
        writeLine("serviceMatchDisplayIDIntel");
        ui_->AUXGetStatusLabel->clear();
        alert("WARNING", kNoScreen);
        // What would let the displays be reached (a module, permissions, a driver).
        for (const auto& hint : manager.reachHints()) appendLog(ui_->AUXScrollView, "\n" + hint);
        return;
    }
    ui_->AUXGetStatusLabel->setText(QString::fromStdString(manager.readVersionIntel()));
    appendLog(ui_->AUXScrollView, "\nFirmware version was retrieved.");
}

void ViewController::PresentAUXUpdateProductFirmware() {
    if (handsOff_) return;
    Preferences& prefs = preferences();
    selectedPath = prefs.string("userSelectedPath").value_or("");
    auto& manager = AUXDisplayManager::shared();
    manager.updateArm64AVServices();
    if (devices.empty()) {
        alert("WARNING", kNoDevice);
        return;
    }
    if (Arm64DDC::isArm64 && serviceMatchDisplayIDM1 < 2) {
        ui_->AUXGetStatusLabel->clear();
        alert("WARNING", kNoScreen);
        return;
    }
    if (ui_->AUXDeviceComboBox->currentIndex() == -1) {
        alert("WARNING", kNoDevice);
        return;
    }
    if (ui_->binaryFileVersionLabel->text().isEmpty() && ui_->AUXBinaryFileVersionLabel->text().isEmpty()) {
        alert("ERROR", "No firmware file opened!");
        return;
    }
    ChipHold hold = holdChips(manager.chipPlacesIntel());
    if (hold.busy()) return;
    AUXdeviceVersion = manager.readVersionIntel();
    if (AUXdeviceVersion == kReplug || AUXdeviceVersion.empty()) {
        for (const auto& hint : manager.reachHints()) appendLog(ui_->AUXScrollView, "\n" + hint);
        return;
    }
    // The display road writes the file as it is; the signature only has to pass.
    if (!checkedFirmwareSignature()) return;
    const std::string ispPath = connectedFile.AUXGetISPFilePath();
    const std::string ispSignature = connectedFile.GetISPSignature();
    if (ispSignature != sentinel::loaderSignature) {
        alert("ERROR", ispSignature);
        return;
    }
    setAUXProgressShown(true);
    chipHold_ = std::move(hold);
    confirming_ = true;
    seams_.sheet->present(this, QStringLiteral("CAUTION"), QString::fromUtf8(kCautionText),
                          [self = QPointer<ViewController>(this), ispPath](bool confirmed) {
                              if (!self) return;
                              self->confirmationAnswered(confirmed);
                              if (confirmed) {
                                  self->auxConfirmed(ispPath);
                              } else {
                                  self->setAUXProgressShown(false);
                                  AUXpercentCompleted = 0;
                              }
                          });
}

void ViewController::auxConfirmed(const std::string& ispPath) {
    if (handsOff_) return;
    beginHandsOff();
    auto hold = std::make_shared<ChipHold>(std::move(chipHold_));
    appendLog(ui_->AUXScrollView, "\nStart to upgrade firmware!");
    const auto firmware = readFirmwareImage(selectedPath);
    if (!firmware || firmware->size() == 1) {
        setAUXProgressShown(false);
        alert("ERROR", "Firmware file cannot be read!");
        endHandsOff();
        return;
    }
    const auto loader = readFile(ispPath);
    if (!loader || loader->size() == 1) {
        setAUXProgressShown(false);
        alert("ERROR", "ISP file cannot be read!");
        endHandsOff();
        return;
    }
    const uint64_t ramWriteSize = aux::stepCount(loader->size());
    const uint64_t flashWriteSize = aux::stepCount(firmware->size());

    runUpgrade(
        [loader = *loader, firmware = *firmware, ramWriteSize, flashWriteSize, hold] {
            const auto release = qScopeGuard([&hold] { hold->release(); });
            AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(loader, firmware, ramWriteSize, flashWriteSize);
        },
        [this, targets = auxUpgradeTargets()](bool succeeded) {
            const auto sayWhich = [&] {
                for (const std::string& line : targets) appendLog(ui_->AUXScrollView, line);
            };
            if (!succeeded) {
                alert("WARNING", kFailed);
                appendLog(ui_->AUXScrollView, std::string("\n") + kFailed);
                sayWhich();
                setAUXProgressShown(false);
                AUXpercentCompleted = 0;
                return;
            }
            ISPBufferCount = 0;
            firmwareBufferCount = 0;
            appendLog(ui_->AUXScrollView, "\nUpgrade Completed!");
            appendLog(ui_->AUXScrollView, "\nPlease unplug and replug the device!");
            sayWhich();
            alert("Firmware Upgrade Completed!",
                  "Please unplug and replug the device for checking the firmware version.");
            setAUXProgressShown(false);
            ui_->AUXGetStatusLabel->clear();
            AUXdeviceVersion.clear();
            AUXpercentCompleted = 0;
        },
        "the chip behind the external display");
}

// One "Device:" line per display the upgrade goes to: the chip's product as
// its version read named it, and the connector the display hangs on.
std::vector<std::string> ViewController::auxUpgradeTargets() const {
    const std::string product = AUXdeviceVersion.substr(0, AUXdeviceVersion.find(' '));
    std::vector<std::string> lines;
    for (const auto& display : AUXDisplayManager::shared().upgradeTargetsIntel()) {
        const std::string connector = display->connectorName();
        lines.push_back(deviceLine(product, connector.empty() ? "display " + std::to_string(display->identifier)
                                                              : "connector " + connector));
    }
    return lines;
}

}  // namespace quorvel
