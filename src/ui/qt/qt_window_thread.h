// The window thread of the Qt program: messages are queued calls on the Qt event loop of the
// thread that created this object. Send never uses a blocking queued connection: the sender waits
// on a condition that the window thread releases when it has run the message, or that Shutdown
// releases, so a window joining its workers never waits on a worker that waits on the window.
#pragma once

#include <QObject>
#include <memory>
#include <thread>

#include "ui/window_thread.h"

namespace varnel {

class QtWindowThread final : public WindowThread {
  public:
    // The calling thread, which runs the Qt event loop, becomes the window thread.
    QtWindowThread();
    ~QtWindowThread() override;
    QtWindowThread(const QtWindowThread&) = delete;
    QtWindowThread& operator=(const QtWindowThread&) = delete;

    bool Send(Message message) override;
    bool Post(Message message) override;
    bool IsWindowThread() const override;
    void Shutdown() override;
    bool IsShutDown() const;

  private:
    struct Channel;

    // Queues a call that runs `message` unless the channel has closed by then; false when it
    // already has. The caller holds the channel's lock.
    bool QueueLocked(Message message);

    // Shared with every queued call and every waiting sender, so either may outlive this object.
    std::shared_ptr<Channel> m_channel;
    // Lives on the window thread; queued calls are delivered through its event queue.
    std::unique_ptr<QObject> m_pReceiver;
    const std::thread::id m_windowThread;
};

}  // namespace varnel
