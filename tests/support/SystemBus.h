// A private D-Bus daemon standing in for the system bus, with
// python3-dbusmock's logind template on it, for tests of the inhibitor.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>

namespace quorvel::test {

class PrivateSystemBus {
public:
    // Starts the daemon and, when `withLogind`, the mock; throws when they
    // cannot be started.
    PrivateSystemBus(const std::filesystem::path& folder, bool withLogind = true);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    // The value for DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    // What the mock logged: one line per method call.
    std::string mockLog() const;
    // logind's ListInhibitors, as dbus-send prints it.
    std::string listInhibitors() const;

private:
    std::filesystem::path log_;
    std::string address_;
    pid_t daemon_ = -1;
    pid_t mock_ = -1;
};

}  // namespace quorvel::test
