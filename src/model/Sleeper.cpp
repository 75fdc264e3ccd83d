#include "model/Sleeper.h"

#include <thread>

#include "model/Replaceable.h"

namespace quorvel {

void ThreadSleeper::sleep(std::chrono::microseconds duration) { std::this_thread::sleep_for(duration); }

namespace {
Replaceable<std::shared_ptr<Sleeper>>& seam() {
    static Replaceable<std::shared_ptr<Sleeper>> s(
        []() -> std::shared_ptr<Sleeper> { return std::make_shared<ThreadSleeper>(); });
    return s;
}
}  // namespace

// The seam keeps the sleeper alive until it is replaced.
Sleeper& sleeper() { return *seam().get(); }

std::shared_ptr<Sleeper> setSleeper(std::shared_ptr<Sleeper> replacement) {
    return seam().replace(std::move(replacement));
}

}  // namespace quorvel
