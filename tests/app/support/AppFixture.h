// Fixtures of the window tests: a QApplication on the offscreen platform,
// alerts, sheet and file chooser answered in code, USB chip models plugged
// through the emulated hot-plug source, an emulated display platform, and
// gates that hold an upgrade half-way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QString>

#include "app/AppDelegate.h"
#include "app/Interaction.h"
#include "app/ViewController.h"
#include "display/DisplayPlatform.h"
#include "emu/AuxEmulatedPlatform.h"
#include "emu/EmulatedControlTransport.h"
#include "emu/UsbChip.h"
#include "model/Sleeper.h"
#include "support/TestSupport.h"
#include "emu/EmulatedHotplugSource.h"

namespace quorvel::test {

// The process's QApplication (offscreen unless QT_QPA_PLATFORM says otherwise).
QApplication& application();
// Runs the event loop until `done` holds or `ms` have passed.
bool waitFor(const std::function<bool()>& done, int ms = 5000);

class RecordingPresenter : public AlertPresenter {
public:
    void present(const std::string& title, const std::string& text, AlertStyle style) override;
    std::vector<std::string> alerts() const;  // "title|text", in order
    std::vector<AlertStyle> styles() const;   // the style of each, in the same order
    void clear();
    int offInterfaceThread() const { return offThread_; }
    std::function<void()> onPresent;  // runs inside present(), on the interface thread

private:
    mutable std::mutex mutex_;
    std::vector<std::string> alerts_;
    std::vector<AlertStyle> styles_;
    std::atomic<int> offThread_{0};
};

class ScriptedSheet : public ConfirmationSheet {
public:
    void present(QWidget* window, const QString& message, const QString& informativeText,
                 std::function<void(bool)> done) override;
    bool answer = true;
    // When set, the sheet stays open until respond().
    bool waits = false;
    void respond(bool confirmed);
    std::vector<std::string> shown;  // "message|informative text"

private:
    std::function<void(bool)> pending_;
};

class ScriptedChooser : public FileChooser {
public:
    void choose(QWidget* parent, std::function<void(std::optional<QString>)> done) override;
    std::optional<QString> next;
    int calls = 0;
};

// Holds the calling thread at the n-th pass until released.
class Gate {
public:
    void arm(size_t at);
    void pass();  // called by the held side
    bool waitHeld(int ms = 10000);
    void release();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t count_ = 0;
    size_t at_ = 0;
    bool held_ = false;
    bool released_ = false;
};

// A chip model's control endpoint with a gate in front of it.
class GatedTransport : public ControlTransport {
public:
    explicit GatedTransport(std::shared_ptr<emu::UsbChip> chip) : inner_(std::move(chip)) {}
    int32_t controlTransfer(const ControlSetup& setup, std::span<uint8_t> data) override {
        gate.pass();
        return inner_.controlTransfer(setup, data);
    }
    Gate gate;

private:
    emu::EmulatedControlTransport inner_;
};

// A display platform whose bus writes pass a gate.
DisplayPlatform gatedPlatform(const DisplayPlatform& platform, std::shared_ptr<Gate> gate);

// Everything a window test needs, torn down in the right order.
class AppFixture {
public:
    AppFixture();
    ~AppFixture();

    struct Chip {
        uint16_t productId = 0x6221;
        std::string version = "ZK6221 Emulated v1.00";
        int64_t chipId = 0xA1;
        uint16_t vendorId = 0x7E51;
        // Plugged on USB bus 1 at these hub ports; port `id` when empty.
        std::vector<uint8_t> ports{};
        // Its device node, which commands hold; none when empty.
        std::string node{};
    };
    std::shared_ptr<emu::UsbChip> plug(uint64_t id, const Chip& chip);
    std::shared_ptr<emu::UsbChip> plug(uint64_t id, const Chip& chip, std::shared_ptr<ControlTransport> transport,
                                       std::shared_ptr<emu::UsbChip> model);
    void unplug(uint64_t id);
    // Lets queued hand-overs reach the window.
    void settle();

    // Writes a file into the data folder (relative path) or a temporary one.
    std::filesystem::path writeData(const std::string& relative, const std::vector<uint8_t>& bytes);
    std::filesystem::path writeTemp(const std::string& name, const std::vector<uint8_t>& bytes);
    // Browses to `path` (or cancels with nothing).
    void browse(const std::optional<std::filesystem::path>& path);
    // Adds an external display whose chip answers on its DDC bus.
    std::shared_ptr<emu::AuxChip> addDisplay(const std::string& version = "ZK6121 V1.00.0");
    // Applies the display platform (optionally gated) to the process and
    // rebuilds the display list, as a get status would.
    void useDisplays(std::shared_ptr<Gate> gate = nullptr);

    std::vector<std::string> comboItems(const char* name) const;
    QString text(const char* name) const;     // a label's text
    std::string log(const char* name) const;  // a log view's text
    bool visible(const char* name) const;     // not hidden (the window may be unshown)
    template <class T>
    T* widget(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }

    ScopedPreferences prefs;
    TempDir data;
    TempDir files;
    std::shared_ptr<EmulatedHotplugSource> hotplug;
    std::shared_ptr<RecordingPresenter> presenter;
    std::shared_ptr<ScriptedSheet> sheet;
    std::shared_ptr<ScriptedChooser> chooser;
    emu::AuxEmulatedHost displays;
    std::unique_ptr<ViewController> window;
    std::unique_ptr<AppDelegate> delegate;

private:
    std::optional<ScopedEnv> dataDir_;
    std::shared_ptr<HotplugSource> previousHotplug_;
    std::shared_ptr<QtAlertSink> sink_;
    std::shared_ptr<AlertSink> previousSink_;
    std::shared_ptr<Sleeper> previousSleeper_;
    DisplayPlatform previousPlatform_;
    unsigned nextDisplay_ = 1;
};

// Firmware and loader images the tests use.
std::vector<uint8_t> virrenFirmware(const std::string& version = "ZK6221 V2.00.1", size_t size = 64 * 1024,
                                    const std::string& signature = "VRE1");

}  // namespace quorvel::test
