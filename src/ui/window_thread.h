// The window's thread as the rest of the program reaches it: Send waits until the window thread
// has run a message (a worker's status report), Post only queues it (the attach's request to
// start downloading, log text for the edit boxes).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace varnel {

class WindowThread {
  public:
    using Message = std::function<void()>;

    virtual ~WindowThread() = default;

    // Runs the message on the window thread and returns once it has run; called on the window
    // thread it runs at once. Returns false without running it when the channel is shut down,
    // also while the caller is already waiting, so a window joining its workers never waits on
    // a worker that waits on the window.
    virtual bool Send(Message message) = 0;
    // Queues the message behind those already queued; false when the channel is shut down.
    virtual bool Post(Message message) = 0;
    virtual bool IsWindowThread() const = 0;
    // Refuses every further message, drops the queued ones and releases every waiting Send.
    virtual void Shutdown() = 0;
};

// A plain message loop: a FIFO queue run by whichever thread calls Run (the command line) or
// RunPending / RunOne (tests driving the window step by step). Until then the thread that
// constructed it is the window thread.
class MessageLoop final : public WindowThread {
  public:
    MessageLoop();
    ~MessageLoop() override;
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    bool Send(Message message) override;
    bool Post(Message message) override;
    bool IsWindowThread() const override;
    void Shutdown() override;
    bool IsShutDown() const;

    // Makes the calling thread the window thread and runs messages until Quit or Shutdown.
    void Run();
    // Ends Run once the messages queued before it have run; any thread.
    void Quit();
    // Runs the messages queued at the time of the call; returns how many ran.
    size_t RunPending();
    // Waits up to `timeout` for one message and runs it; false when none came.
    bool RunOne(std::chrono::milliseconds timeout);

  private:
    struct Channel;
    // Shared with every waiting Send, so a sender woken by Shutdown never touches a freed loop.
    std::shared_ptr<Channel> m_channel;
    std::atomic<std::thread::id> m_windowThread;
    bool m_bQuit = false;
};

}  // namespace varnel
