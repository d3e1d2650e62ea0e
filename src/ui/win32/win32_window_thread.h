// The window thread of the Windows program: the thread that created this object and runs its
// message loop. Send is SendMessage to a message-only window of that thread, so a worker waits
// until the window thread has run its message (also inside a message box's or file dialog's
// loop); Post is PostMessage of a wake-up for a queue of messages run in order.
//
// Shutdown, on the window thread, refuses further messages and then answers, without running
// them, the SendMessage calls still under way, so a window joining its workers never waits on a
// worker that waits on the window.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <shared_mutex>

#include "ui/window_thread.h"

namespace varnel {

class Win32WindowThread final : public WindowThread {
  public:
    Win32WindowThread();
    ~Win32WindowThread() override;
    Win32WindowThread(const Win32WindowThread&) = delete;
    Win32WindowThread& operator=(const Win32WindowThread&) = delete;

    bool Send(Message message) override;
    bool Post(Message message) override;
    bool IsWindowThread() const override;
    // On the window thread: returns once no Send is under way. Elsewhere: only refuses.
    void Shutdown() override;
    bool IsShutDown() const { return m_bClosed.load(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void RunPosted();

    HWND m_hWnd = nullptr;
    const DWORD m_dwThreadId;
    std::atomic<bool> m_bClosed{false};
    // Held shared by every Send while it is under way; Shutdown takes it exclusively.
    std::shared_mutex m_sending;
    std::mutex m_postedMutex;
    std::deque<Message> m_posted;
};

}  // namespace varnel
