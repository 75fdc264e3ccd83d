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

void UiQueue::drain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
    }
    for (auto& task : batch) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
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
        if (onInterfaceThread())
            delete receiver;
        else
            receiver->deleteLater();
    }
}

}  // namespace quorvel

#include "UiQueue.moc"
