// Pauses of the upgrade sequences go through this seam so that tests can
// check the requested waits without spending them.
#pragma once

#include <chrono>
#include <memory>

namespace quorvel {

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::chrono::microseconds duration) = 0;
};

class ThreadSleeper : public Sleeper {
public:
    void sleep(std::chrono::microseconds duration) override;
};

// The process's sleeper: a ThreadSleeper unless a test installs another.
Sleeper& sleeper();
std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement);

}  // namespace quorvel
