#include "app/UiQueue.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace quorvel {

namespace {
class UiQueueReceiver : public QObject {
    Q_OBJECT
public:
    explicit UiQueueReceiver(std::weak_ptr<UiQueue> queue) : queue_(std::move(queue)) {}
    Q_INVOKABLE void drain() {
        if (auto queue = queue_.lock()) queue->drain();
    }

private:
    std::weak_ptr<UiQueue> queue_;
};
}  // namespace

std::shared_ptr<UiQueue> UiQueue::create() {
    std::shared_ptr<UiQueue> queue(new UiQueue);
    queue->thread_ = QThread::currentThread();
    queue->receiver_ = new UiQueueReceiver(queue);
    return queue;
}

UiQueue::~UiQueue() { close(); }

bool UiQueue::onInterfaceThread() const { return QThread::currentThread() == thread_; }

void UiQueue::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    tasks_.push_back(std::move(task));
    // Only the receiver's address crosses through Qt's queue; it stays alive
    // while the lock is held, since close() takes the lock before deleting it.
    QMetaObject::invokeMethod(receiver_, "drain", Qt::QueuedConnection);
}

bool UiQueue::runAndWait(std::function<void()> task) {
    if (onInterfaceThread()) {
        task();
        return true;
    }
    auto done = std::make_shared<bool>(false);
    post([self = shared_from_this(), task = std::move(task), done] {
        task();
        {
            std::lock_guard lock(self->mutex_);
            *done = true;
        }
        self->finished_.notify_all();
    });
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return *done || closed_; });
    return *done;
}

// One task at a time from the front: a task that opens a modal alert runs a
// nested event loop that drains again, and that drain must go on with the
// next task posted, never with a newer one ahead of older ones.
void UiQueue::drain() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (closed_ || tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void UiQueue::close() {
    std::deque<std::function<void()>> dropped;
    QObject* receiver = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        dropped.swap(tasks_);
        receiver = receiver_;
        receiver_ = nullptr;
    }
    finished_.notify_all();
    // Deleting on its own thread also discards a pending wake-up.
    if (receiver) {
        if (onInterfaceThread()) delete receiver;
        else receiver->deleteLater();
    }
}

}  // namespace quorvel

#include "UiQueue.moc"
