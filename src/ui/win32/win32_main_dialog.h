// The main window on Windows: a modeless dialog made from its template, whose messages (buttons,
// check boxes, combo boxes, drops, the system menu, close) go to the window logic (CMorvaneDlg)
// on the thread that created it, and whose controls the logic draws through View().
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "ui/win32/win32_dialog_view.h"

namespace varnel {

class CMorvaneDlg;

class Win32MainDialog {
  public:
    // Creates the dialog hidden; Handle() is null when that failed. `onClosed` runs once the
    // window has been destroyed (a close the logic agreed to).
    explicit Win32MainDialog(std::function<void()> onClosed = {});
    ~Win32MainDialog();
    Win32MainDialog(const Win32MainDialog&) = delete;
    Win32MainDialog& operator=(const Win32MainDialog&) = delete;

    HWND Handle() const { return m_hDlg; }
    Win32DialogView& View() { return *m_pView; }
    // Hands the controls' events to `dlg` until Detach.
    void Attach(CMorvaneDlg& dlg) { m_pDlg = &dlg; }
    void Detach() { m_pDlg = nullptr; }
    // Runs after every Detect the operator presses (where simulated handsets are plugged in).
    void SetDetectListener(std::function<void()> listener) { m_onDetect = std::move(listener); }
    // Runs when a close the logic agreed to is about to destroy the window (its controls are
    // still there to read).
    void SetClosingListener(std::function<void()> listener) { m_onClosing = std::move(listener); }
    // Runs when the session ends (log-off, shut-down): the process may be ended as soon as the
    // window has answered, so whatever must outlive it is done here.
    void SetEndSessionListener(std::function<void()> listener) {
        m_onEndSession = std::move(listener);
    }
    bool IsClosed() const { return m_hDlg == nullptr; }

    // The title (string 57344), the about-box item of the system menu (string 101), the icon
    // and drop acceptance.
    void InitWindow();
    void ShowAboutBox();
    // For a message loop: true when the dialog took the message (keyboard navigation).
    bool PreTranslateMessage(MSG& message);

  private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code);
    void OnDropFiles(HDROP drop);
    void OnPaintIconic();
    void Destroy();

    HWND m_hDlg = nullptr;
    HICON m_hIcon;
    std::unique_ptr<Win32DialogView> m_pView;
    CMorvaneDlg* m_pDlg = nullptr;
    std::function<void()> m_onClosed;
    std::function<void()> m_onDetect;
    std::function<void()> m_onClosing;
    std::function<void()> m_onEndSession;
};

// A string table entry of the program's resources, as UTF-8; empty when there is none.
std::string LoadResourceString(UINT id);

}  // namespace varnel
