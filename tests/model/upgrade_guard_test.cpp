// While an upgrade writes: the signals that would end the program are
// deferred with one notice, and logind is asked to block sleep and
// shutdown until the lease is dropped.
#include <gtest/gtest.h>

#include <signal.h>

#include "model/UpgradeGuard.h"
#include "support/SystemBus.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

void (*handlerOf(int signal))(int) {
    struct sigaction current {};
    ::sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

TEST(DeferredSignals, NoneOfTheFourEndsTheProgramAndTheNoticeComesOnce) {
    const std::string out = capturedStdout([] {
        DeferredSignals deferred;
        {
            DeferredSignals nested;  // does nothing, and undoes nothing when it ends
        }
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGINT}) ::raise(s);
    });
    EXPECT_EQ(out, std::string(DeferredSignals::kNotice) + "\n");
    EXPECT_EQ(DeferredSignals::received(), SIGINT);
    // Afterwards they end the program again, as before.
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) EXPECT_EQ(handlerOf(s), SIG_DFL) << s;
}

TEST(DeferredSignals, ADispositionFoundIsPutBack) {
    ::signal(SIGHUP, SIG_IGN);
    { DeferredSignals deferred; }
    EXPECT_EQ(handlerOf(SIGHUP), SIG_IGN);
    ::signal(SIGHUP, SIG_DFL);
}

class Logind : public testing::Test {
protected:
    TempDir dir;
    PrivateSystemBus bus{dir.path()};
    // Before the first use of the system bus in this process.
    ScopedEnv address{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
};

TEST_F(Logind, AnInhibitorBlocksSleepAndShutdownUntilItsLeaseIsDropped) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "Qt D-Bus's uninstrumented connection thread stalls under TSan; checked in the other builds";
#endif
    std::string error;
    auto lease = LogindInhibitor().inhibit("Upgrading the firmware of ZK6121 (/dev/bus/usb/001/002)", error);
    ASSERT_TRUE(lease) << error;
    const std::string listed = bus.listInhibitors();
    EXPECT_TRUE(contains(listed, std::string("string \"") + LogindInhibitor::kWhat + "\"")) << listed;
    EXPECT_TRUE(contains(listed, "string \"Quorvel\"")) << listed;
    EXPECT_TRUE(contains(listed, "string \"Upgrading the firmware of ZK6121 (/dev/bus/usb/001/002)\"")) << listed;
    EXPECT_TRUE(contains(listed, "string \"block\"")) << listed;
    EXPECT_EQ(occurrences(bus.mockLog(), "Inhibit "), 1u) << bus.mockLog();
    lease.reset();
    // logind drops an inhibitor whose descriptor is closed.
    EXPECT_FALSE(contains(bus.listInhibitors(), "Quorvel"));
}

}  // namespace
