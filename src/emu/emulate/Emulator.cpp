#include "emu/emulate/Emulator.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emu/EdidBuilder.h"
#include "emu/SampleFiles.h"
#include "emu/emulate/Machine.h"
#include "emu/emulate/Report.h"

extern char** environ;

namespace quorvel::emu::emulate {

namespace {

// While the programs run, the signals that would end them are passed on to
// them, and we stay to report: a terminal's Ctrl-C reaches both us and the
// programs, a kill from elsewhere only us.
class PassedOn {
public:
    PassedOn() {
        struct sigaction action {};
        action.sa_handler = &PassedOn::handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~PassedOn() {
        for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
    static void add(pid_t pid) {
        for (auto& slot : pids_) {
            pid_t empty = 0;
            if (slot.compare_exchange_strong(empty, pid)) return;
        }
    }
    static void remove(pid_t pid) {
        for (auto& slot : pids_) {
            pid_t expected = pid;
            slot.compare_exchange_strong(expected, 0);
        }
    }

private:
    static void handle(int signal) {
        const int saved = errno;
        for (auto& slot : pids_)
            if (const pid_t pid = slot.load(); pid > 0) ::kill(pid, signal);
        errno = saved;
    }
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    static inline std::atomic<pid_t> pids_[2] = {};
    struct sigaction previous_[std::size(kSignals)]{};
};

class Emulator {
public:
    explicit Emulator(Config config) : config_(std::move(config)) {}

    int run() {
        makeTemporaryRoot();
        const std::string data = config_.dataDir.value_or((root_ / "data").string());
        if (!config_.dataDir && !config_.ownDataDir) writeSampleLoaders(data);

        machine_.usbBed = std::make_unique<UmockdevUsbBed>();
        for (size_t i = 0; i < config_.usb.size(); ++i) addUsb(i);
        applyFailures();
        if (config_.i2cDev) {
            std::error_code ec;  // what the kernel shows for a loaded module
            std::filesystem::create_directories(std::filesystem::path(machine_.usbBed->rootDir()) /
                                                    "sys/module/i2c_dev",
                                                ec);
        }
        if (!config_.displays.empty()) {
            machine_.displayBed = std::make_unique<AuxUmockdevDisplays>(machine_.usbBed->testbed());
            for (size_t i = 0; i < config_.displays.size(); ++i) addDisplay(i);
        }

        data_ = data;
        const PassedOn passOn;  // before the first child exists
        const pid_t child = spawn(config_.program);
        if (child < 0) return 127;
        std::thread timers([this] { runTimers(); });
        const int status = waitFor(child);
        std::optional<pid_t> second;
        {
            std::lock_guard lock(mutex_);
            firstEnded_ = true;  // from now on the second program is not started
            second = secondPid_;
        }
        const int secondStatus = second ? waitFor(*second) : -1;
        {
            std::lock_guard lock(mutex_);
            childEnded_ = true;
        }
        wake_.notify_all();
        timers.join();

        if (config_.report) {
            reportMachine(config_, machine_);
            reportEnd(config_.program, status);
            if (config_.also) {
                if (second) reportEnd(config_.also->program, secondStatus);
                else out(config_.also->program.front() + " was not started: the first program had ended");
            }
        }
        machine_.displayBed.reset();
        machine_.usbBed.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        return status;
    }

private:
    void makeTemporaryRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-emulate-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        root_ = pattern;
    }

    void addUsb(size_t index) {
        UsbSlot slot;
        slot.config = config_.usb[index];
        slot.chip = std::make_shared<UsbChip>(slot.config.chip);
        slot.spec.bus = slot.config.bus.value_or(1);
        slot.spec.address = static_cast<uint8_t>(2 + index);
        slot.spec.ports = slot.config.ports.value_or(std::vector<uint8_t>{static_cast<uint8_t>(1 + index)});
        slot.spec.vendorId = slot.config.chip.vendorId;
        slot.spec.productId = slot.config.chip.productId;
        slot.spec.product = slot.config.chip.name;
        machine_.usb.push_back(slot);
        if (slot.config.presentAtStart) plug(index);
    }

    void plug(size_t index) {
        UsbSlot& slot = machine_.usb[index];
        auto chip = slot.chip;
        if (!chip->plugged()) chip->replug();
        const uint8_t bus = slot.spec.bus, address = slot.spec.address;
        const bool first = index == 0;
        machine_.usbBed->plug(slot.spec,
                              [this, chip, bus, address, first](const ControlSetup& setup, std::span<uint8_t> data) {
                                  const auto result = chip->handle(setup, data);
                                  if (first) checkPageTrigger(*chip);
                                  switch (result.outcome) {
                                  case Outcome::Ok: return static_cast<int32_t>(result.transferred);
                                  case Outcome::Stall: return -EPIPE;
                                  case Outcome::TransferError: return -EPROTO;
                                  case Outcome::Timeout: return kUrbNoReply;
                                  case Outcome::NoDevice:
                                      requestUnplug(bus, address);  // the chip left: take it off the bus too
                                      return -ENODEV;
                                  }
                                  return -EPROTO;
                              });
        slot.plugged = true;
    }

    // Starting the second program is the timer thread's work too.
    void checkPageTrigger(const UsbChip& chip) {
        if (!config_.also || !config_.also->afterPage || chip.pagesWritten() < *config_.also->afterPage) return;
        std::lock_guard lock(mutex_);
        if (alsoStarted_ || alsoDue_) return;
        alsoDue_ = true;
        wake_.notify_all();
    }

    // Unplugging from inside a request handler would wait for that handler;
    // the timer thread does it.
    void requestUnplug(uint8_t bus, uint8_t address) {
        std::lock_guard lock(mutex_);
        pendingUnplugs_.emplace_back(bus, address);
        wake_.notify_all();
    }

    void unplug(size_t index) {
        UsbSlot& slot = machine_.usb[index];
        if (!slot.plugged) return;
        slot.chip->unplug();
        machine_.usbBed->unplug(slot.spec.bus, slot.spec.address);
        slot.plugged = false;
    }

    void addDisplay(size_t index) {
        const DisplayConfig& d = config_.displays[index];
        AuxChipOptions options;
        options.version = d.version;
        auto chip = std::make_shared<AuxChip>(options);
        if (index == 0)
            for (const auto& f : config_.auxFailures) chip->failAt(f.kind, f.occurrence, f.status);
        machine_.auxChips.push_back(chip);
        EdidSpec edid;
        edid.name = d.name;
        edid.product = static_cast<uint16_t>(d.product.value_or(0x1000 + index));
        edid.serial = d.serial.value_or(static_cast<uint32_t>(1000 + index));
        edid.extensions = d.extensions;
        AuxEmulatedDisplay display;
        display.type = d.type;
        display.index = static_cast<unsigned>(index + 1);
        display.connectorId = d.id.value_or(static_cast<uint32_t>(70 + index));
        display.edid = buildEdid(edid);
        display.bus = d.bus.value_or(static_cast<uint32_t>(10 + index));
        display.ddcLink = d.ddcLink;
        display.card = d.card;
        display.auxChild = d.aux;
        display.busNode = d.node && config_.i2cDev;
        if (!config_.i2cDev) display.bus = 900 + static_cast<uint32_t>(index);
        display.busDriver = d.driver;
        // A bus shared with an earlier display keeps that display's devices.
        const bool ownsBus = !machine_.displayBed->hasBus(*display.bus);
        if (d.chip == "yes") display.chip = chip;
        if (d.chip == "ddcci") {
            auto monitor = std::make_shared<AuxDdcMonitor>();
            display.target37 = monitor;
            if (ownsBus) machine_.monitors.emplace_back(index, monitor);
        }
        machine_.auxChipOnBus.push_back(ownsBus && d.chip == "yes");
        if (ownsBus) machine_.busOrder.push_back(*display.bus);
        if (index == 0) {
            // Every PC has an SMBus; it carries an EEPROM that answers at
            // 0x50 like a display's, and must never be read or written.
            AuxUmockdevBus smbus;
            smbus.number = Machine::kSmbus;
            smbus.targets = {{0x50, std::make_shared<AuxEdidEeprom>(display.edid)}};
            smbus.owner = AuxUmockdevBus::Owner::Smbus;
            smbus.node = config_.i2cDev;
            machine_.displayBed->addBus(smbus);
        }
        machine_.displayBed->addDisplay(display);
    }

    void applyFailures() {
        if (machine_.usb.empty()) return;
        UsbChip& chip = *machine_.usb.front().chip;
        for (const auto& f : config_.failures) {
            switch (f.at) {
            // Armed before the first request: request N, counted from 0, is the (N+1)-th.
            case Failure::At::Request: chip.failAtRequest(f.number + 1, f.fault); break;
            case Failure::At::Kind: chip.failAt(f.kind, f.number, f.fault); break;
            case Failure::At::Page: chip.failAtPage(f.number, f.fault); break;
            }
        }
    }

    // What umockdev cannot present (a refused open, shorter pauses, a
    // uevent socket per program) comes from a small library of ours,
    // preloaded ahead of umockdev's.
    void addShim(std::map<std::string, std::string>& env) {
        std::string denied;
        for (size_t i = 0; i < config_.displays.size(); ++i)
            if (config_.displays[i].denied)
                denied += (denied.empty() ? "" : ":") + std::string("/dev/i2c-") +
                          std::to_string(config_.displays[i].bus.value_or(static_cast<uint32_t>(10 + i)));
        std::error_code ec;
        const auto shim = std::filesystem::canonical("/proc/self/exe", ec).parent_path() / QUORVEL_PRELOAD_FROM_BIN;
        if (!std::filesystem::exists(shim, ec)) throw std::runtime_error("missing " + shim.string());
        env["LD_PRELOAD"] = shim.string() + ":" + env["LD_PRELOAD"];
        if (!denied.empty()) env["QUORVEL_EMULATE_DENY"] = denied;
        if (config_.fastWaits) env["QUORVEL_EMULATE_FAST_WAITS"] = "1";
    }

    pid_t spawn(const std::vector<std::string>& program) {
        const std::string& data = data_;
        std::map<std::string, std::string> env;
        for (char** e = environ; *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
        }
        const std::string preload = "libumockdev-preload.so.0";
        env["LD_PRELOAD"] = env.count("LD_PRELOAD") ? preload + ":" + env["LD_PRELOAD"] : preload;
        env["UMOCKDEV_DIR"] = machine_.usbBed->rootDir();
        if (!config_.ownDataDir) env["QUORVEL_DATA_DIR"] = data;
        addShim(env);
        // A sanitizer build of the program accepts the preload library first.
        env["ASAN_OPTIONS"] = (env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "") + "verify_asan_link_order=0";
        std::vector<std::string> strings;
        for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
        std::vector<char*> envp, argv;
        for (auto& s : strings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> words = program;
        for (auto& s : words) argv.push_back(s.data());
        argv.push_back(nullptr);

        // What a shell gives: whatever we inherited as ignored or blocked
        // (SIGPIPE, say) must not hide how the program behaves.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        const int rc = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) {
            out("cannot start " + program.front() + ": " + std::strerror(rc));
            return -1;
        }
        PassedOn::add(pid);
        if (started_ == std::chrono::steady_clock::time_point{}) started_ = std::chrono::steady_clock::now();
        return pid;
    }

    // Starts the second program unless it ran or the first has ended; under mutex_.
    void startSecondLocked() {
        if (!config_.also || alsoStarted_ || firstEnded_) return;
        alsoStarted_ = true;
        const pid_t pid = spawn(config_.also->program);
        if (pid > 0) secondPid_ = pid;
    }

    static int waitFor(pid_t child) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        PassedOn::remove(child);
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return 1;
    }

    void runTimers() {
        using namespace std::chrono;
        std::optional<steady_clock::time_point> unplugAt, plugAt;
        if (config_.unplugAfterMs) unplugAt = started_ + milliseconds(*config_.unplugAfterMs);
        if (config_.plugAfterMs) plugAt = started_ + milliseconds(*config_.plugAfterMs);
        std::optional<steady_clock::time_point> alsoAt;
        if (config_.also && config_.also->afterMs) alsoAt = started_ + milliseconds(*config_.also->afterMs);
        std::unique_lock lock(mutex_);
        while (!childEnded_) {
            if (alsoDue_ || (alsoAt && steady_clock::now() >= *alsoAt)) {
                alsoDue_ = false;
                alsoAt.reset();
                startSecondLocked();
                continue;
            }
            if (!pendingUnplugs_.empty()) {
                const auto [bus, address] = pendingUnplugs_.front();
                pendingUnplugs_.erase(pendingUnplugs_.begin());
                lock.unlock();
                for (size_t i = 0; i < machine_.usb.size(); ++i)
                    if (machine_.usb[i].spec.bus == bus && machine_.usb[i].spec.address == address) unplug(i);
                lock.lock();
                continue;  // the child may have ended meanwhile
            }
            const auto now = steady_clock::now();
            if (plugAt && now >= *plugAt) {
                plugAt.reset();
                lock.unlock();
                plug(0);
                lock.lock();
                continue;
            }
            if (unplugAt && now >= *unplugAt) {
                unplugAt.reset();
                lock.unlock();
                out("unplugging the chip");
                unplug(0);
                lock.lock();
                continue;
            }
            std::optional<steady_clock::time_point> next;
            for (const auto& t : {plugAt, unplugAt, alsoAt})
                if (t && (!next || *t < *next)) next = t;
            if (next) wake_.wait_until(lock, *next);
            else wake_.wait(lock);
        }
    }

    Config config_;
    std::filesystem::path root_;
    Machine machine_;
    std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool childEnded_ = false;
    std::string data_;
    bool firstEnded_ = false, alsoStarted_ = false, alsoDue_ = false;  // under mutex_
    std::optional<pid_t> secondPid_;                                   // under mutex_
    std::vector<std::pair<uint8_t, uint8_t>> pendingUnplugs_;
};

}  // namespace

int runPrograms(Config config) { return Emulator(std::move(config)).run(); }

}  // namespace quorvel::emu::emulate
