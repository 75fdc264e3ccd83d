#include "support/AppFixture.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QThread>

#include "display/AUXDisplayManager.h"
#include "emu/EdidBuilder.h"
#include "model/Settings.h"
#include "support/Recorders.h"
#include "usb/USBDeviceMonitor.h"

namespace quorvel::test {

// fontconfig keeps its configuration caches, and libdbus (on X11) its
// connection data, for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }

QApplication& application() {
    static QApplication* app = [] {
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // An upgrade's inhibitor must not reach the host's logind.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorvel-tests/system_bus_socket", 1);
#ifdef QUORVEL_TEST_TMPDIR
        if (!std::getenv("TMPDIR")) setenv("TMPDIR", QUORVEL_TEST_TMPDIR, 1);
#endif
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RecordingPresenter::present(const std::string& title, const std::string& text, AlertStyle style) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offThread_;
    {
        std::lock_guard lock(mutex_);
        alerts_.push_back(title + "|" + text);
        styles_.push_back(style);
    }
    if (onPresent) onPresent();
}

std::vector<std::string> RecordingPresenter::alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
}

std::vector<AlertStyle> RecordingPresenter::styles() const {
    std::lock_guard lock(mutex_);
    return styles_;
}

void RecordingPresenter::clear() {
    std::lock_guard lock(mutex_);
    alerts_.clear();
    styles_.clear();
}

void ScriptedSheet::present(QWidget*, const QString& message, const QString& informativeText,
                            std::function<void(bool)> done) {
    shown.push_back(message.toStdString() + "|" + informativeText.toStdString());
    if (waits) pending_ = std::move(done);
    else done(answer);
}

void ScriptedSheet::respond(bool confirmed) {
    if (auto done = std::exchange(pending_, nullptr)) done(confirmed);
}

void ScriptedChooser::choose(QWidget*, std::function<void(std::optional<QString>)> done) {
    ++calls;
    done(next);
}

void Gate::arm(size_t at) {
    std::lock_guard lock(mutex_);
    count_ = 0;
    at_ = at;
    held_ = false;
    released_ = false;
}

void Gate::pass() {
    std::unique_lock lock(mutex_);
    if (at_ == 0 || ++count_ != at_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
}

bool Gate::waitHeld(int ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return held_; });
}

void Gate::release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    at_ = 0;
    changed_.notify_all();
}

namespace {

class GatedBus : public I2CBus {
public:
    GatedBus(std::unique_ptr<I2CBus> inner, std::shared_ptr<Gate> gate)
        : inner_(std::move(inner)), gate_(std::move(gate)) {}
    std::optional<unsigned long> functionality() override { return inner_->functionality(); }
    TransferResult write(uint8_t address, std::span<const uint8_t> data) override {
        if (address == 0x37) gate_->pass();
        return inner_->write(address, data);
    }
    TransferResult writeRead(uint8_t address, std::span<const uint8_t> data, std::chrono::microseconds delay,
                             std::span<uint8_t> reply) override {
        return inner_->writeRead(address, data, delay, reply);
    }

private:
    std::unique_ptr<I2CBus> inner_;
    std::shared_ptr<Gate> gate_;
};

class GatedProvider : public I2CBusProvider {
public:
    GatedProvider(std::shared_ptr<I2CBusProvider> inner, std::shared_ptr<Gate> gate)
        : inner_(std::move(inner)), gate_(std::move(gate)) {}
    std::optional<std::vector<uint32_t>> buses() override { return inner_->buses(); }
    bool exists(uint32_t number) override { return inner_->exists(number); }
    std::unique_ptr<I2CBus> open(uint32_t number) override {
        auto bus = inner_->open(number);
        return bus ? std::make_unique<GatedBus>(std::move(bus), gate_) : nullptr;
    }

private:
    std::shared_ptr<I2CBusProvider> inner_;
    std::shared_ptr<Gate> gate_;
};

void resetSettings() {
    percentCompleted = 0;
    AUXpercentCompleted = 0;
    pidFilter = 0;
    advancedMode = false;
    deviceFilter = false;
    maxPktSize = 0;
    selectedPath.clear();
    firmwareVersion.clear();
    deviceVersion.clear();
    AUXdeviceVersion.clear();
    serviceMatchDisplayIDIntel = 0;
}

}  // namespace

DisplayPlatform gatedPlatform(const DisplayPlatform& platform, std::shared_ptr<Gate> gate) {
    DisplayPlatform gated = platform;
    gated.buses = std::make_shared<GatedProvider>(platform.buses, std::move(gate));
    return gated;
}

std::vector<uint8_t> virrenFirmware(const std::string& version, size_t size, const std::string& signature) {
    return firmwareImage(size, signature, version);
}

AppFixture::AppFixture()
    : hotplug(std::make_shared<EmulatedHotplugSource>()),
      presenter(std::make_shared<RecordingPresenter>()),
      sheet(std::make_shared<ScriptedSheet>()),
      chooser(std::make_shared<ScriptedChooser>()) {
    application();
    resetSettings();
    dataDir_.emplace("QUORVEL_DATA_DIR", data.path().string());
    writeData("ISP_USB/ISP_USB_VB.bin", loaderImage("UsbFlV v01.2"));
    writeData("ISP_USB/ISP_USB_SK.bin", loaderImage("UsbFlS v01.2"));
    writeData("ISP_USB/ISP_USB_TS.bin", loaderImage("UsbFlT v01.2"));
    writeData("ISP_USB/ISP_USB_TS2.bin", loaderImage("UsbFlT2 v01.2"));
    writeData("ISP_AUX/ISP_AUX.bin", loaderImage("UsbFlA v01.0"));
    previousSleeper_ = setSleeper(std::make_shared<NoWaitSleeper>());
    previousHotplug_ = installHotplugSource(hotplug);
    sink_ = std::make_shared<QtAlertSink>(presenter);
    previousSink_ = setAlertSink(sink_);
    previousPlatform_ = setDisplayPlatform(displays.platform());

    window = std::make_unique<ViewController>(ViewController::Seams{sheet, chooser});
    window->timer.stop();  // tests tick Progress() themselves
    delegate = std::make_unique<AppDelegate>();
    delegate->connectAdvancedModeItem(window->advancedModeAction());
    delegate->applicationDidFinishLaunching();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const auto& monitor : delegate->deviceMonitors()) monitor->waitUntilStarted(deadline);
}

AppFixture::~AppFixture() {
    if (window) window->waitForUpgrade();
    delegate.reset();
    window.reset();
    setAlertSink(previousSink_);
    sink_->close();
    installHotplugSource(previousHotplug_);
    hotplug->shutdown();
    AUXDisplayManager::shared().clearDisplays();
    setDisplayPlatform(previousPlatform_);
    setSleeper(previousSleeper_);
    resetSettings();
}

std::shared_ptr<emu::UsbChip> AppFixture::plug(uint64_t id, const Chip& chip) {
    emu::UsbChipOptions options;
    options.vendorId = chip.vendorId;
    options.productId = chip.productId;
    options.versionText = chip.version;
    options.chipId = chip.chipId;
    auto model = std::make_shared<emu::UsbChip>(options);
    return plug(id, chip, std::make_shared<emu::EmulatedControlTransport>(model), model);
}

std::shared_ptr<emu::UsbChip> AppFixture::plug(uint64_t id, const Chip& chip,
                                               std::shared_ptr<ControlTransport> transport,
                                               std::shared_ptr<emu::UsbChip> model) {
    EmulatedUSBDevice device;
    device.id = id;
    device.vendorId = chip.vendorId;
    device.productId = chip.productId;
    device.name = "Emulated converter";
    device.transport = std::move(transport);
    device.busNumber = 1;
    device.portNumbers = chip.ports.empty() ? std::vector<uint8_t>{static_cast<uint8_t>(id)} : chip.ports;
    device.node = chip.node;
    hotplug->add(device);
    hotplug->waitIdle();
    waitFor([&] {
        for (const auto& d : window->deviceInfoSec)
            if (d.id == id) return true;
        return false;
    });
    return model;
}

void AppFixture::unplug(uint64_t id) {
    hotplug->remove(id);
    hotplug->waitIdle();
    waitFor([&] {
        for (const auto& d : window->deviceInfoSec)
            if (d.id == id) return false;
        return true;
    });
}

void AppFixture::settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

std::filesystem::path AppFixture::writeData(const std::string& relative, const std::vector<uint8_t>& bytes) {
    const auto path = data.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    writeFile(path, bytes);
    return path;
}

std::filesystem::path AppFixture::writeTemp(const std::string& name, const std::vector<uint8_t>& bytes) {
    const auto path = files.path() / name;
    writeFile(path, bytes);
    return path;
}

void AppFixture::browse(const std::optional<std::filesystem::path>& path) {
    // As a file dialog shows it: bytes that are not UTF-8 become U+FFFD.
    chooser->next = path ? std::optional<QString>(QFile::decodeName(QByteArray::fromStdString(path->string())))
                         : std::nullopt;
    window->browseFWfile();
}

std::shared_ptr<emu::AuxChip> AppFixture::addDisplay(const std::string& version) {
    emu::AuxChipOptions options;
    options.version = version;
    auto chip = std::make_shared<emu::AuxChip>(options);
    emu::AuxEmulatedDisplay display;
    display.type = "DP";
    display.index = nextDisplay_;
    display.edid = buildEdid({.manufacturer = "QRV",
                              .product = static_cast<uint16_t>(0x1230 + nextDisplay_),
                              .serial = 77,
                              .name = "Office 27"});
    display.bus = 2 + nextDisplay_;
    display.chip = chip;
    ++nextDisplay_;
    displays.addDisplay(display);
    useDisplays();
    return chip;
}

void AppFixture::useDisplays(std::shared_ptr<Gate> gate) {
    setDisplayPlatform(gate ? gatedPlatform(displays.platform(), std::move(gate)) : displays.platform());
    AUXDisplayManager::shared().configureDisplays();
}

std::vector<std::string> AppFixture::comboItems(const char* name) const {
    std::vector<std::string> items;
    auto* box = widget<QComboBox>(name);
    for (int i = 0; i < box->count(); ++i) items.push_back(box->itemText(i).toStdString());
    return items;
}

QString AppFixture::text(const char* name) const { return widget<QLabel>(name)->text(); }

std::string AppFixture::log(const char* name) const {
    return widget<QPlainTextEdit>(name)->toPlainText().toStdString();
}

bool AppFixture::visible(const char* name) const { return !widget<QWidget>(name)->isHidden(); }

}  // namespace quorvel::test
