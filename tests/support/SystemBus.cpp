#include "support/SystemBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/Process.h"

extern char** environ;

namespace quorvel::test {

namespace {

// Starts `argv` with `extra` added to the environment and standard output
// on `out` (a descriptor, or -1 for /dev/null).
pid_t start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra, int out) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto name = entry.substr(0, entry.find('='));
        if (!extra.count(name)) env.push_back(entry);
    }
    for (const auto& [k, v] : extra) env.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = argv;
    for (auto& s : words) args.push_back(s.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

PrivateSystemBus::PrivateSystemBus(const std::filesystem::path& folder, bool withLogind)
    : log_(folder / "logind-mock.log") {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    daemon_ = start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, {}, pipe[1]);
    ::close(pipe[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{pipe[0], POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipe[0]);
    if (line.find('\n') == std::string::npos) {
        stop(daemon_);
        throw std::runtime_error("dbus-daemon gave no address");
    }
    address_ = line.substr(0, line.find('\n'));
    if (!withLogind) return;

    const int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // Debian's own interpreter: another python3 earlier on PATH may lack the package.
    mock_ = start({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"},
                  {{"DBUS_SYSTEM_BUS_ADDRESS", address_}}, log);
    ::close(log);
    // Ready once logind's name has an owner.
    while (std::chrono::steady_clock::now() < deadline + std::chrono::seconds(20)) {
        const auto r =
            runProcess({"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.login1"},
                       {{"DBUS_SYSTEM_BUS_ADDRESS", address_}}, std::chrono::seconds(5));
        if (r.out.find("boolean true") != std::string::npos) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop(mock_);
    stop(daemon_);
    throw std::runtime_error("the logind mock did not come up");
}

PrivateSystemBus::~PrivateSystemBus() {
    stop(mock_);
    stop(daemon_);
}

std::string PrivateSystemBus::mockLog() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PrivateSystemBus::listInhibitors() const {
    return runProcess({"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.login1",
                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager.ListInhibitors"},
                      {{"DBUS_SYSTEM_BUS_ADDRESS", address_}}, std::chrono::seconds(5))
        .out;
}

}  // namespace quorvel::test
