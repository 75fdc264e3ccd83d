#include "app/ViewController.h"

#include <algorithm>
#include <any>
#include <cstdio>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "app/AppDelegate.h"
#include "app/Interaction.h"
#include "app/UiQueue.h"
#include "display/AUXDisplayManager.h"
#include "display/Arm64DDC.h"
#include "display/AuxPacket.h"
#include "model/Log.h"
#include "model/DeviceTable.h"
#include "model/Preferences.h"
#include "model/Settings.h"
#include "ui_ViewController.h"

// The images live in this static library; nothing else would pull them in.
static void initResources() { Q_INIT_RESOURCE(quorvel); }

namespace quorvel {

namespace {

const char* const kNoDevice = "No device is connected!\nPlease connect the device first.";
const char* const kNoScreen = "No External Screen connected!\nPlease connect the screen first.";
const char* const kReplug = "Please replug the device again.";
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

}  // namespace

ViewController::ViewController(Seams seams, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::ViewController>()), seams_(std::move(seams)),
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
    observers_.push_back(center.addObserver(USBDeviceDisconnected, [queue = queue_, self = this](const Notification& n) {
        if (auto id = removedIdOf(n)) queue->post([self, id = *id] { self->applyDisconnected(id); });
    }));
}

// --- Device list ---

int ViewController::numberOfItems() const { return static_cast<int>(devices.size()); }

QString ViewController::comboBoxObjectValue(int index) const {
    if (index < 0 || index >= numberOfItems()) return QStringLiteral("No device is connected");
    return QStringLiteral("ZK") + QString::number(devices[static_cast<size_t>(index)]->deviceInfo.productId, 16);
}

void ViewController::reloadComboBoxes() {
    for (QComboBox* box : {ui_->deviceComboBox, ui_->AUXDeviceComboBox}) {
        const QSignalBlocker block(box);
        box->clear();
        for (int i = 0; i < numberOfItems(); ++i) box->addItem(comboBoxObjectValue(i));
        box->setCurrentIndex(-1);
    }
}

void ViewController::selectFirstItem() {
    for (QComboBox* box : {ui_->deviceComboBox, ui_->AUXDeviceComboBox})
        box->setCurrentIndex(devices.empty() ? -1 : 0);
}

void ViewController::USBConnected(const Notification& notification) {
    if (auto device = deviceOf(notification))
        queue_->post([this, device = *device] { applyConnected(device); });
}

void ViewController::USBDisconnected(const Notification& notification) {
    if (auto id = removedIdOf(notification)) queue_->post([this, id = *id] { applyDisconnected(id); });
}

void ViewController::applyConnected(const USBDevice& device) {
    deviceInfoSec.insert(deviceInfoSec.begin(), device);
    devices.push_back(std::make_shared<USBAccess>(device));
    ui_->deviceComboBox->setEnabled(true);
    ui_->AUXDeviceComboBox->setEnabled(true);
    reloadComboBoxes();
    selectFirstItem();
    const int index = ui_->deviceComboBox->currentIndex();
    if (index < 0 || index >= numberOfItems()) return;
    connectedDevice = devices[static_cast<size_t>(index)];
    try {
        const std::string version = connectedDevice->GetVersion();
        preferences().setString("deviceVersion", version);
        preferences().sync();
    } catch (const std::exception&) {
    }
}

void ViewController::applyDisconnected(uint64_t id) {
    ui_->deviceComboBox->setEnabled(false);
    auto found = std::find_if(devices.begin(), devices.end(),
                              [id](const auto& d) { return d->deviceInfo.id == id; });
    if (found != devices.end()) devices.erase(found);
    ui_->getStatusLabel->clear();
    ui_->AUXGetStatusLabel->clear();
    reloadComboBoxes();
    selectFirstItem();
    auto record = std::find_if(deviceInfoSec.begin(), deviceInfoSec.end(),
                               [id](const USBDevice& d) { return d.id == id; });
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

    if (deviceFilter && !advancedMode) {
        auto other = std::find_if(devices.begin(), devices.end(),
                                  [](const auto& d) { return d->deviceInfo.productId != pidFilter; });
        if (other != devices.end()) {
            devices.erase(other);
            reloadComboBoxes();
            selectFirstItem();
        }
    }
    if (!deviceFilter && devices.size() != deviceInfoSec.size()) {
        devices.clear();
        for (const USBDevice& record : deviceInfoSec) devices.push_back(std::make_shared<USBAccess>(record));
        ui_->getStatusLabel->clear();
        reloadComboBoxes();
        selectFirstItem();
    }
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

void ViewController::setUSBProgressShown(bool shown) {
    ui_->USBProgressBar->setVisible(shown);
    ui_->progressValue->setVisible(shown);
}

void ViewController::setAUXProgressShown(bool shown) {
    ui_->AUXProgressBar->setVisible(shown);
    ui_->AUXProgressValue->setVisible(shown);
}

void ViewController::setFlowsEnabled(bool enabled) {
    for (auto* button : {ui_->getStatusButton, ui_->browseButton, ui_->updateButton, ui_->AUXGetStatusButton,
                         ui_->AUXBrowseButton, ui_->AUXUpdateButton})
        button->setEnabled(enabled);
}

// --- USB tab ---

void ViewController::PresentGetStatus() {
    if (upgrading_) return;
    deviceVersion.clear();
    const int index = ui_->deviceComboBox->currentIndex();
    if (devices.empty() || index < 0 || index >= numberOfItems()) {
        alert("WARNING", kNoDevice);
        return;
    }
    connectedDevice = devices[static_cast<size_t>(index)];
    std::string version;
    try {
        version = connectedDevice->GetVersion();
    } catch (const std::exception&) {
        return;
    }
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
    if (upgrading_) return;
    ui_->binaryFileVersionLabel->clear();
    ui_->AUXBinaryFileVersionLabel->clear();
    preferences().remove("userSelectedPath");
    preferences().remove("fwVersion");
    seams_.fileChooser->choose(this, [self = QPointer<ViewController>(this)](std::optional<QString> path) {
        if (self) self->firmwareFileChosen(path);
    });
}

void ViewController::firmwareFileChosen(const std::optional<QString>& path) {
    if (!path) {
        ui_->binaryFileVersionLabel->clear();
        ui_->AUXBinaryFileVersionLabel->clear();
        preferences().remove("userSelectedPath");
        preferences().remove("fwVersion");
        return;
    }
    // The stored text keeps the plain path after "file://"; FileAccess reads
    // it back literally, so blanks and other characters need no escaping.
    const std::string urlText = "file://" + path->toStdString();
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
    if (signature == "FwFileNotCorrect") {
        alert("ERROR", "Incorrect firmware file imported!");
        return std::nullopt;
    }
    if (signature == "NoFirmwareFile") {
        alert("ERROR", "The firmware file cannot be accessed!");
        return std::nullopt;
    }
    return signature;
}

void ViewController::PresentUSBUpdateProductFirmware() {
    if (upgrading_) return;
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
    int64_t chipID = 0;
    try {
        deviceVersion = connectedDevice->GetVersion();
        chipID = connectedDevice->GetChipID();
    } catch (const std::exception&) {
        alert("ERROR", "Incorrect chip ID.");
        return;
    }
    const auto checked = checkedFirmwareSignature();
    if (!checked) return;
    const std::string& signature = *checked;
    const std::string ispPath = connectedFile.USBGetISPFilePath(chipID);
    const std::string ispSignature = connectedFile.GetISPSignature();
    if (ispSignature != "eISP") {
        alert("ERROR", ispSignature);
        return;
    }
    const auto loader = readFile(ispPath);
    const std::string ispVersion =
        connectedFile.GetISPVersion(loader ? SourceModel::BackData(*loader) : std::string());
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
    seams_.sheet->present(this, QStringLiteral("CAUTION"), QString::fromUtf8(kCautionText),
                          [self = QPointer<ViewController>(this), device = connectedDevice, chipID,
                           ispPath](bool confirmed) {
                              // Declined: the progress controls stay shown, as before.
                              if (self && confirmed) self->usbConfirmed(device, chipID, ispPath);
                          });
}

void ViewController::usbConfirmed(std::shared_ptr<USBAccess> device, int64_t chipID, const std::string& ispPath) {
    if (upgrading_) return;
    appendLog(ui_->scrollView, "\nStart to upgrade firmware!");
    const auto firmware = readFile(selectedPath);
    if (!firmware) {
        setUSBProgressShown(false);
        alert("ERROR", "Firmware file cannot be read!");
        return;
    }
    const auto loader = readFile(ispPath);
    if (!loader) {
        setUSBProgressShown(false);
        alert("ERROR", "ISP file cannot be read!");
        return;
    }
    const uint16_t product = device->deviceInfo.productId;
    maxPktSize = devices::maxPacketSize(product);
    percentCompleted = 0;

    runUpgrade([device, loader = *loader, firmware = *firmware,
                chipID] { device->USBFirmware(loader, firmware, chipID); },
               [this](bool succeeded) {
                   if (succeeded) {
                       appendLog(ui_->scrollView, "\nUpgrade Completed!");
                       appendLog(ui_->scrollView, "\nPlease unplug and replug the device!");
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
                       alert("WARNING", kFailed);
                       percentCompleted = 0;
                   }
               });
}

// --- Upgrade worker ---

void ViewController::runUpgrade(std::function<void()> job, std::function<void(bool succeeded)> finish) {
    upgrading_ = true;
    setFlowsEnabled(false);
    worker_ = std::thread([this, queue = queue_, job = std::move(job), finish = std::move(finish)]() mutable {
        bool succeeded = true;
        try {
            job();
        } catch (...) {
            succeeded = false;
        }
        queue->post([this, succeeded, finish = std::move(finish)] {
            worker_.join();
            // The last progress the engine wrote, before the outcome is shown.
            Progress();
            upgrading_ = false;
            setFlowsEnabled(true);
            finish(succeeded);
        });
    });
}

void ViewController::waitForUpgrade() {
    while (upgrading_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void ViewController::closeEvent(QCloseEvent* event) {
    if (upgrading_) {
        // Closing now would leave the chip half-written with nobody told.
        event->ignore();
        alert("WARNING",
              "The firmware upgrade is still running.\nDO NOT close the window or disconnect the device "
              "until it has finished.");
        return;
    }
    timer.stop();
    event->accept();
}

// --- AUX tab ---

void ViewController::PresentAUXGetStatus() {
    if (upgrading_) return;
    AUXdeviceVersion.clear();
    AppDelegate().configure();
    auto& manager = AUXDisplayManager::shared();
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
        ui_->AUXGetStatusLabel->setText(
            QString::fromStdString(preferences().string("FirmwareVersionM1").value_or("")));
        appendLog(ui_->AUXScrollView, "\nFirmware version was retrieved.");
        return;
    }
    if (serviceMatchDisplayIDIntel != 1) {
        writeLine(std::to_string(serviceMatchDisplayIDIntel.load()));
        writeLine("serviceMatchDisplayIDIntel");
        ui_->AUXGetStatusLabel->clear();
        alert("WARNING", kNoScreen);
        return;
    }
    ui_->AUXGetStatusLabel->setText(QString::fromStdString(manager.readVersionIntel()));
    appendLog(ui_->AUXScrollView, "\nFirmware version was retrieved.");
}

void ViewController::PresentAUXUpdateProductFirmware() {
    if (upgrading_) return;
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
    AUXdeviceVersion = manager.readVersionIntel();
    if (AUXdeviceVersion == kReplug || AUXdeviceVersion.empty()) return;
    const auto checked = checkedFirmwareSignature();
    if (!checked) return;
    const std::string& signature = *checked;
    const std::string ispPath = connectedFile.AUXGetISPFilePath();
    const std::string ispSignature = connectedFile.GetISPSignature();
    if (ispSignature != "eISP") {
        alert("ERROR", ispSignature);
        return;
    }
    setAUXProgressShown(true);
    seams_.sheet->present(this, QStringLiteral("CAUTION"), QString::fromUtf8(kCautionText),
                          [self = QPointer<ViewController>(this), ispPath](bool confirmed) {
                              if (!self) return;
                              if (confirmed) {
                                  self->auxConfirmed(ispPath);
                              } else {
                                  self->setAUXProgressShown(false);
                                  AUXpercentCompleted = 0;
                              }
                          });
}

void ViewController::auxConfirmed(const std::string& ispPath) {
    if (upgrading_) return;
    appendLog(ui_->AUXScrollView, "\nStart to upgrade firmware!");
    const auto firmware = readFile(selectedPath);
    if (!firmware || firmware->size() == 1) {
        setAUXProgressShown(false);
        alert("ERROR", "Firmware file cannot be read!");
        return;
    }
    const auto loader = readFile(ispPath);
    if (!loader || loader->size() == 1) {
        setAUXProgressShown(false);
        alert("ERROR", "ISP file cannot be read!");
        return;
    }
    const uint64_t ramWriteSize = aux::stepCount(loader->size());
    const uint64_t flashWriteSize = aux::stepCount(firmware->size());

    runUpgrade(
        [loader = *loader, firmware = *firmware, ramWriteSize, flashWriteSize] {
            AUXDisplayManager::shared().AUXFirmwareUpgradeIntel(loader, firmware, ramWriteSize, flashWriteSize);
        },
        [this](bool succeeded) {
            if (!succeeded) {
                alert("WARNING", kFailed);
                appendLog(ui_->AUXScrollView, std::string("\n") + kFailed);
                setAUXProgressShown(false);
                AUXpercentCompleted = 0;
                return;
            }
            ISPBufferCount = 0;
            firmwareBufferCount = 0;
            appendLog(ui_->AUXScrollView, "\nUpgrade Completed!");
            appendLog(ui_->AUXScrollView, "\nPlease unplug and replug the device!");
            alert("Firmware Upgrade Completed!",
                  "Please unplug and replug the device for checking the firmware version.");
            setAUXProgressShown(false);
            ui_->AUXGetStatusLabel->clear();
            AUXdeviceVersion.clear();
            AUXpercentCompleted = 0;
        });
}

}  // namespace quorvel
