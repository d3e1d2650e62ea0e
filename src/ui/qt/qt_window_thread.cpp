#include "ui/qt/qt_window_thread.h"

#include <QMetaObject>
#include <condition_variable>
#include <mutex>

namespace varnel {

struct QtWindowThread::Channel {
    std::mutex mutex;
    // Notified when a sent message has run and when the channel closes.
    std::condition_variable released;
    bool closed = false;

    bool IsClosed() {
        std::lock_guard lock(mutex);
        return closed;
    }
};

QtWindowThread::QtWindowThread()
    : m_channel(std::make_shared<Channel>()),
      m_pReceiver(std::make_unique<QObject>()),
      m_windowThread(std::this_thread::get_id()) {}

QtWindowThread::~QtWindowThread() {
    // Closed first, under the lock, so no sender posts to the receiver while it is destroyed.
    Shutdown();
}

bool QtWindowThread::QueueLocked(Message message) {
    if (m_channel->closed) {
        return false;
    }
    // Posting only queues an event; it never calls back into this object.
    QMetaObject::invokeMethod(
        m_pReceiver.get(),
        [channel = m_channel, message = std::move(message)] {
            if (!channel->IsClosed()) {
                message();
            }
        },
        Qt::QueuedConnection);
    return true;
}

bool QtWindowThread::Post(Message message) {
    std::lock_guard lock(m_channel->mutex);
    return QueueLocked(std::move(message));
}

bool QtWindowThread::Send(Message message) {
    if (IsWindowThread()) {
        if (IsShutDown()) {
            return false;
        }
        message();
        return true;
    }
    auto channel = m_channel;
    auto ran = std::make_shared<bool>(false);  // guarded by channel->mutex
    std::unique_lock lock(channel->mutex);
    const bool queued = QueueLocked([channel, ran, message = std::move(message)] {
        message();
        std::lock_guard ranLock(channel->mutex);
        *ran = true;
        channel->released.notify_all();
    });
    if (!queued) {
        return false;
    }
    channel->released.wait(lock, [&] { return *ran || channel->closed; });
    return *ran;
}

bool QtWindowThread::IsWindowThread() const {
    return std::this_thread::get_id() == m_windowThread;
}

void QtWindowThread::Shutdown() {
    {
        std::lock_guard lock(m_channel->mutex);
        m_channel->closed = true;
    }
    m_channel->released.notify_all();
}

bool QtWindowThread::IsShutDown() const {
    return m_channel->IsClosed();
}

}  // namespace varnel
