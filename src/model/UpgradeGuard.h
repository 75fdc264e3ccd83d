// What keeps an upgrade sequence from being cut short by the system while it
// writes: a logind inhibitor against sleep and shutdown, and the deferral of
// the signals that would end the program. Both programs put one around
// every upgrade sequence, from before its first request to its outcome.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace quorvel {

// The seam to the system's power management.
class Inhibitor {
public:
    virtual ~Inhibitor() = default;
    // Blocks sleep and shutdown for `why` until the returned lease is
    // dropped; null, with `error` saying why, when that cannot be done.
    virtual std::shared_ptr<void> inhibit(const std::string& why, std::string& error) = 0;
};

// logind on the system bus (Qt D-Bus): Inhibit() in "block" mode. Its file
// descriptor is the lease; closing it ends the inhibition, and the kernel
// closes it if the program dies.
class LogindInhibitor : public Inhibitor {
public:
    static constexpr const char* kWhat =
        "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch";
    static constexpr const char* kWho = "Quorvel";
    static constexpr const char* kMode = "block";
    std::shared_ptr<void> inhibit(const std::string& why, std::string& error) override;
};

// The process's inhibitor (logind unless replaced); null restores it.
std::shared_ptr<Inhibitor> inhibitor();
std::shared_ptr<Inhibitor> setInhibitor(std::shared_ptr<Inhibitor> replacement);

// While one lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT do not end the
// program: the first prints the notice once on standard output, and the
// program goes on. Afterwards the dispositions are back as they were.
// One at a time per process; a second one meanwhile does nothing.
class DeferredSignals {
public:
    static constexpr const char* kNotice =
        "Upgrade in progress: stopping now would leave the device unusable. The program ends when the upgrade ends.";
    DeferredSignals();
    ~DeferredSignals();
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

    // The first signal deferred since the process started, 0 when none: the
    // program should end as soon as the outcome is out.
    static int received();

private:
    bool active_ = false;
};

// A closed pipe on standard output or error ends nothing: the write fails
// and is ignored, and an upgrade goes on. Both programs call it first thing.
void ignoreClosedPipes();

// One upgrade sequence's guard: the inhibitor (when logind cannot be
// reached, one line on standard error and the upgrade goes on), then the
// signals deferred until the guard ends.
class UpgradeGuard {
public:
    // `device` names the chip in the inhibitor's reason.
    explicit UpgradeGuard(const std::string& device);
    // After the sequence's last request: the system may sleep again.
    void sequenceEnded() { inhibition_.reset(); }

private:
    std::shared_ptr<void> inhibition_;
    std::optional<DeferredSignals> signals_;  // after the inhibitor: a Ctrl-C meanwhile still ends the program
};

}  // namespace quorvel
