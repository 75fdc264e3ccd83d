// One command per chip: the hold excludes other processes and other
// commands of this one, is all or nothing over several chips, and goes
// away with its holder however that ends.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model/ChipHold.h"
#include "support/TestSupport.h"

using namespace quorvel;
using namespace quorvel::test;

namespace {

class ChipHoldTest : public testing::Test {
protected:
    TempDir dir;
    std::string node(const std::string& name) {
        const auto path = dir / name;
        writeFile(path, {});
        return path.string();
    }
};

// A child process that holds `place` until it is killed.
pid_t holdInChild(const std::string& place) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ChipHold hold = ChipHold::take(place);
        const char verdict = hold.busy() ? 'b' : 'h';
        if (::write(ready[1], &verdict, 1) != 1) ::_exit(2);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char verdict = 0;
    EXPECT_EQ(::read(ready[0], &verdict, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(verdict, 'h');
    return pid;
}

TEST_F(ChipHoldTest, AnotherProcessIsExcludedUntilItsHolderDies) {
    const std::string place = node("002");
    const pid_t holder = holdInChild(place);
    EXPECT_TRUE(ChipHold::take(place).busy());
    // Killed, not released: the kernel drops the lock all the same.
    ::kill(holder, SIGKILL);
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_FALSE(ChipHold::take(place).busy());
}

TEST_F(ChipHoldTest, ASecondCommandInThisProcessIsRefusedUntilRelease) {
    const std::string place = node("002");
    ChipHold first = ChipHold::take(place);
    ASSERT_FALSE(first.busy());
    EXPECT_TRUE(ChipHold::take(place).busy());
    ChipHold moved = std::move(first);  // the hold travels with its command
    EXPECT_TRUE(ChipHold::take(place).busy());
    moved.release();
    EXPECT_FALSE(ChipHold::take(place).busy());
}

TEST_F(ChipHoldTest, SeveralChipsAreTakenAllOrNone) {
    const std::string a = node("i2c-3"), b = node("i2c-4"), c = node("i2c-5");
    ChipHold other = ChipHold::take(b);
    ChipHold refused = ChipHold::take({a, b, c});
    EXPECT_TRUE(refused.busy());
    // What was taken before the busy one is not kept, and other chips stay free.
    EXPECT_FALSE(ChipHold::take(a).busy());
    EXPECT_FALSE(ChipHold::take(c).busy());
    // Two displays on one bus are one chip, not a conflict with itself.
    ChipHold same = ChipHold::take({a, a, c});
    EXPECT_FALSE(same.busy());
    EXPECT_TRUE(ChipHold::take(a).busy());
    EXPECT_TRUE(ChipHold::take(c).busy());
}

TEST_F(ChipHoldTest, NothingToLockDoesNotStopTheCommand) {
    // An in-process chip, and a node that has gone (the requests will fail
    // and say so).
    for (const std::string& place : {std::string(), (dir / "gone").string()}) {
        ChipHold first = ChipHold::take(place);
        EXPECT_FALSE(first.busy()) << place;
        EXPECT_FALSE(ChipHold::take(place).busy()) << place;
    }
}

}  // namespace
