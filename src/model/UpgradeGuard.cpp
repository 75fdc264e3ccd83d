#include "model/UpgradeGuard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iterator>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QVariant>

#include "model/Log.h"
#include "model/Replaceable.h"

namespace quorvel {

namespace {
// A logind that does not answer must not keep the chip waiting long.
constexpr int kInhibitTimeoutMs = 2000;
}  // namespace

std::shared_ptr<void> LogindInhibitor::inhibit(const std::string& why, std::string& error) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        error = bus.lastError().message().toStdString();
        if (error.empty()) error = "no system bus";
        return nullptr;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
                                                       QStringLiteral("/org/freedesktop/login1"),
                                                       QStringLiteral("org.freedesktop.login1.Manager"),
                                                       QStringLiteral("Inhibit"));
    call << QString::fromLatin1(kWhat) << QString::fromLatin1(kWho) << QString::fromStdString(why)
         << QString::fromLatin1(kMode);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kInhibitTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        error = reply.errorMessage().toStdString();
        if (error.empty()) error = reply.errorName().toStdString();
        return nullptr;
    }
    const QVariantList arguments = reply.arguments();
    const auto fd = arguments.isEmpty() ? QDBusUnixFileDescriptor()
                                        : qvariant_cast<QDBusUnixFileDescriptor>(arguments.first());
    if (!fd.isValid()) {
        error = "logind answered without a file descriptor";
        return nullptr;
    }
    // The descriptor is Qt's own duplicate: the inhibition ends when the
    // last copy closes it.
    return std::make_shared<QDBusUnixFileDescriptor>(fd);
}

namespace {
Replaceable<std::shared_ptr<Inhibitor>>& seam() {
    static Replaceable<std::shared_ptr<Inhibitor>> s(
        []() -> std::shared_ptr<Inhibitor> { return std::make_shared<LogindInhibitor>(); });
    return s;
}
}  // namespace

std::shared_ptr<Inhibitor> inhibitor() { return seam().get(); }

std::shared_ptr<Inhibitor> setInhibitor(std::shared_ptr<Inhibitor> replacement) {
    return seam().replace(std::move(replacement));
}

namespace {

constexpr int kDeferred[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t firstSignal = 0;
std::atomic<bool> deferring{false};
struct sigaction previousActions[std::size(kDeferred)];

// Written by the handler, so made before any signal can come.
const std::string& noticeLine() {
    static const std::string line = std::string(DeferredSignals::kNotice) + "\n";
    return line;
}

void defer(int signal) {
    if (firstSignal != 0) return;
    firstSignal = signal;
    const int saved = errno;
    const std::string& line = noticeLine();
    // A closed standard output must not matter here either.
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    errno = saved;
}

}  // namespace

DeferredSignals::DeferredSignals() {
    if (deferring.exchange(true)) return;
    active_ = true;
    noticeLine();
    struct sigaction action {};
    action.sa_handler = &defer;
    sigemptyset(&action.sa_mask);
    for (int s : kDeferred) sigaddset(&action.sa_mask, s);
    // Transfers and waits go on where the signal found them.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kDeferred); ++i) ::sigaction(kDeferred[i], &action, &previousActions[i]);
}

DeferredSignals::~DeferredSignals() {
    if (!active_) return;
    for (size_t i = 0; i < std::size(kDeferred); ++i) ::sigaction(kDeferred[i], &previousActions[i], nullptr);
    deferring = false;
}

int DeferredSignals::received() { return firstSignal; }

UpgradeGuard::UpgradeGuard(const std::string& device) {
    std::string error;
    inhibition_ = inhibitor()->inhibit("Upgrading the firmware of " + device, error);
    if (!inhibition_) {
        writeLine("Sleep and shutdown are not inhibited during the upgrade (" + error + ").", stderr);
    }
    signals_.emplace();
}

void ignoreClosedPipes() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace quorvel
