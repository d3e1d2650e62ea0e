#include "ui/win32/win32_window_thread.h"

#include <utility>

namespace varnel {

namespace {

constexpr UINT kSentMessage = WM_APP + 1;
constexpr UINT kPostedMessage = WM_APP + 2;
constexpr wchar_t kClassName[] = L"VarnelWindowThread";

struct SentCall {
    WindowThread::Message* message;
    bool ran = false;
};

void RegisterClassOnce() {
    static const bool registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        return RegisterClassW(&windowClass) != 0;
    }();
    (void)registered;
}

}  // namespace

Win32WindowThread::Win32WindowThread() : m_dwThreadId(GetCurrentThreadId()) {
    RegisterClassOnce();
    m_hWnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (m_hWnd != nullptr) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    } else {
        m_bClosed = true;
    }
}

Win32WindowThread::~Win32WindowThread() {
    Shutdown();
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
    }
}

LRESULT CALLBACK Win32WindowThread::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    auto* self = reinterpret_cast<Win32WindowThread*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == kSentMessage) {
        auto* call = reinterpret_cast<SentCall*>(lParam);
        if (!self->m_bClosed.load()) {
            (*call->message)();
            call->ran = true;
        }
        return 0;
    }
    if (self != nullptr && message == kPostedMessage) {
        self->RunPosted();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool Win32WindowThread::Send(Message message) {
    if (IsWindowThread()) {
        if (m_bClosed.load()) {
            return false;
        }
        message();
        return true;
    }
    std::shared_lock sending(m_sending);
    if (m_bClosed.load()) {
        return false;
    }
    SentCall call{&message};
    SendMessageW(m_hWnd, kSentMessage, 0, reinterpret_cast<LPARAM>(&call));
    return call.ran;
}

bool Win32WindowThread::Post(Message message) {
    {
        std::lock_guard lock(m_postedMutex);
        if (m_bClosed.load()) {
            return false;
        }
        m_posted.push_back(std::move(message));
    }
    PostMessageW(m_hWnd, kPostedMessage, 0, 0);
    return true;
}

void Win32WindowThread::RunPosted() {
    // Every message queued by now, in order, one at a time: a wake-up whose PostMessage was
    // refused (a full thread queue) then costs no message its turn.
    size_t waiting = 0;
    {
        std::lock_guard lock(m_postedMutex);
        waiting = m_posted.size();
    }
    for (; waiting > 0; --waiting) {
        Message message;
        {
            std::lock_guard lock(m_postedMutex);
            if (m_bClosed.load() || m_posted.empty()) {
                return;
            }
            message = std::move(m_posted.front());
            m_posted.pop_front();
        }
        message();
    }
}

bool Win32WindowThread::IsWindowThread() const {
    return GetCurrentThreadId() == m_dwThreadId;
}

void Win32WindowThread::Shutdown() {
    std::deque<Message> dropped;
    {
        std::lock_guard lock(m_postedMutex);
        m_bClosed = true;
        dropped.swap(m_posted);
    }
    if (!IsWindowThread()) {
        return;
    }
    // A Send that checked before the close may be in SendMessage now: answer it (the closed
    // flag keeps its message from running) until every sender has left.
    while (!m_sending.try_lock()) {
        MSG pending;
        PeekMessageW(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        Sleep(1);
    }
    m_sending.unlock();
}

}  // namespace varnel
