#include "ui/window_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

namespace varnel {

struct MessageLoop::Channel {
    // One per waiting Send, so that a handled message wakes only its own sender.
    struct Waiter {
        std::condition_variable released;  // the message ran, or the channel closed
        bool ran = false;
    };

    std::mutex mutex;
    std::condition_variable queued;  // a message arrived, or the channel closed
    std::deque<Message> queue;
    std::set<Waiter*> waiters;
    bool closed = false;

    // The next message, or nothing once closed or (without waiting) when the queue is empty.
    Message Take(std::unique_lock<std::mutex>& lock) {
        if (closed || queue.empty()) {
            return {};
        }
        Message message = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        return message;
    }
};

MessageLoop::MessageLoop()
    : m_channel(std::make_shared<Channel>()), m_windowThread(std::this_thread::get_id()) {}

MessageLoop::~MessageLoop() {
    Shutdown();
}

bool MessageLoop::Send(Message message) {
    if (IsWindowThread()) {
        if (IsShutDown()) {
            return false;
        }
        message();
        return true;
    }
    auto channel = m_channel;
    auto waiter = std::make_shared<Channel::Waiter>();  // guarded by channel->mutex
    std::unique_lock lock(channel->mutex);
    if (channel->closed) {
        return false;
    }
    channel->queue.push_back([channel, waiter, message = std::move(message)] {
        message();
        std::lock_guard ranLock(channel->mutex);
        waiter->ran = true;
        waiter->released.notify_one();
    });
    channel->queued.notify_one();
    channel->waiters.insert(waiter.get());
    waiter->released.wait(lock, [&] { return waiter->ran || channel->closed; });
    channel->waiters.erase(waiter.get());
    return waiter->ran;
}

bool MessageLoop::Post(Message message) {
    {
        std::lock_guard lock(m_channel->mutex);
        if (m_channel->closed) {
            return false;
        }
        m_channel->queue.push_back(std::move(message));
    }
    m_channel->queued.notify_one();
    return true;
}

bool MessageLoop::IsWindowThread() const {
    return m_windowThread.load() == std::this_thread::get_id();
}

void MessageLoop::Shutdown() {
    std::deque<Message> dropped;
    {
        std::lock_guard lock(m_channel->mutex);
        m_channel->closed = true;
        dropped.swap(m_channel->queue);
        for (Channel::Waiter* waiter : m_channel->waiters) {
            waiter->released.notify_one();
        }
    }
    m_channel->queued.notify_all();
}

bool MessageLoop::IsShutDown() const {
    std::lock_guard lock(m_channel->mutex);
    return m_channel->closed;
}

void MessageLoop::Run() {
    m_windowThread = std::this_thread::get_id();
    m_bQuit = false;
    while (!m_bQuit) {
        std::unique_lock lock(m_channel->mutex);
        m_channel->queued.wait(lock,
                               [&] { return m_channel->closed || !m_channel->queue.empty(); });
        Message message = m_channel->Take(lock);
        if (!message) {
            return;
        }
        message();
    }
    m_bQuit = false;
}

void MessageLoop::Quit() {
    Post([this] { m_bQuit = true; });
}

size_t MessageLoop::RunPending() {
    size_t waiting = 0;
    {
        std::lock_guard lock(m_channel->mutex);
        waiting = m_channel->queue.size();
    }
    size_t ran = 0;
    for (; ran < waiting; ++ran) {
        std::unique_lock lock(m_channel->mutex);
        Message message = m_channel->Take(lock);
        if (!message) {
            break;
        }
        message();
    }
    return ran;
}

bool MessageLoop::RunOne(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_channel->mutex);
    m_channel->queued.wait_for(lock, timeout,
                               [&] { return m_channel->closed || !m_channel->queue.empty(); });
    Message message = m_channel->Take(lock);
    if (!message) {
        return false;
    }
    message();
    return true;
}

}  // namespace varnel
