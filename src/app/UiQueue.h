// Hands work from any thread (device monitors, the upgrade worker) to the
// interface thread, which alone touches widgets. Everything a task carries
// passes through this queue's own mutex, so the hand-off is visible to the
// thread sanitizer; Qt's event loop only carries a bare wake-up.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThread;

namespace quorvel {

class UiQueue : public std::enable_shared_from_this<UiQueue> {
public:
    // Call on the interface thread: tasks run on the thread that created it.
    static std::shared_ptr<UiQueue> create();
    ~UiQueue();
    UiQueue(const UiQueue&) = delete;
    UiQueue& operator=(const UiQueue&) = delete;

    // Runs `task` later on the interface thread; dropped once closed.
    void post(std::function<void()> task);
    // Runs `task` on the interface thread and returns when it has run
    // (at once when called there). False when the queue closed first.
    bool runAndWait(std::function<void()> task);
    // Interface thread: drops pending tasks and releases every waiter.
    void close();
    bool onInterfaceThread() const;

    // Called by the wake-up receiver on the interface thread.
    void drain();

private:
    UiQueue() = default;

    QThread* thread_ = nullptr;
    QObject* receiver_ = nullptr;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<std::function<void()>> tasks_;
    bool closed_ = false;
};

}  // namespace quorvel
