#include "model/Sleeper.h"

#include <mutex>
#include <thread>

namespace quorvel {

void ThreadSleeper::sleep(std::chrono::microseconds duration) {
    std::this_thread::sleep_for(duration);
}

namespace {
std::mutex sleeperMutex;
std::shared_ptr<Sleeper>& current() {
    static std::shared_ptr<Sleeper> s = std::make_shared<ThreadSleeper>();
    return s;
}
}  // namespace

Sleeper& sleeper() {
    std::lock_guard lock(sleeperMutex);
    return *current();
}

std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement) {
    std::lock_guard lock(sleeperMutex);
    if (!replacement) replacement = std::make_shared<ThreadSleeper>();
    auto previous = current();
    current() = std::move(replacement);
    return previous;
}

}  // namespace quorvel
