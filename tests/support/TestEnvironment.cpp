// Every test executable keeps its preferences and temporary files inside
// the build tree (QUORVEL_TEST_HOME, set by CTest), never the user's own,
// and leaves the host's system bus alone.
// Set before main() so that nothing has read the variables yet.
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const bool testHomeApplied = [] {
    const char* home = std::getenv("QUORVEL_TEST_HOME");
    if (!home || !*home) return false;
    const std::filesystem::path root(home);
    std::error_code ec;
    std::filesystem::create_directories(root / "config", ec);
    std::filesystem::create_directories(root / "tmp", ec);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    // No test reaches the host's logind; the inhibitor tests bring their own bus.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (root / "no-system-bus").string()).c_str(), 1);
    return true;
}();

}  // namespace
