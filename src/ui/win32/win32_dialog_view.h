// The main window's controls as the window logic sees them, on a dialog made from its template:
// every DialogView operation finds the control by its id. Window thread only.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "engine/download_job.h"
#include "ui/dialog_view.h"
#include "ui/win32/color_static_st.h"
#include "ui/win32/text_progress_ctrl.h"
#include "ui/window_choices.h"

namespace varnel {

class Win32DialogView final : public DialogView, public ChoiceWindow {
  public:
    // Attaches the port captions and progress bars of `dialog`; `closeWindow` ends it.
    Win32DialogView(HWND dialog, std::function<void()> closeWindow);

    HWND Dialog() const { return m_hDlg; }
    CTextProgressCtrl& ProgressBar(int port) { return m_ProgressBar[port]; }
    CColorStaticST& PortCaption(int port) { return m_PortCaption[port]; }
    // WM_CTLCOLORSTATIC: the brush of a port caption, or null for any other control (a read-only
    // edit asks too).
    HBRUSH OnCtlColorStatic(HDC dc, HWND control);

    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) override;
    void ShowControl(int id, bool show) override;
    void SetText(int id, std::string_view text) override;
    std::string GetText(int id) override;
    void AppendText(int id, std::string_view text) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) override;
    void SetTextColor(int id, Color color) override;
    void SetBkColor(int id, Color color) override;
    void SetProgressRange(int id, int lower, int upper) override;
    void SetProgressPos(int id, int position) override;
    void ShowProgressText(int id, bool show) override;
    void ResetComboBox(int id) override;
    void AddComboString(int id, std::string_view text) override;
    void SetComboSelection(int id, int index) override;
    int GetComboSelection(int id) override;
    int GetComboCount(int id) override;
    MessageResult MessageBox(std::string_view text, std::string_view caption, MessageIcon icon,
                             MessageButtons buttons) override;
    std::optional<std::string> ChooseFile(std::string_view filter) override;
    void ShowLogWindow(const LogWindowData& log) override;
    void CloseWindow() override;

    DialogView& View() override { return *this; }
    bool IsControlShown(int id) override;
    void SetNextChosenFile(std::optional<std::string> path) override {
        m_nextChosenFile = std::move(path);
    }

  private:
    HWND Control(int id) const { return GetDlgItem(m_hDlg, id); }
    // The port of a progress bar or caption id, or -1.
    static int BarPort(int id);
    static int CaptionPort(int id);
    bool IsEdit(HWND control) const;

    const HWND m_hDlg;
    const std::function<void()> m_closeWindow;
    std::array<CTextProgressCtrl, kPortCount> m_ProgressBar;
    std::array<CColorStaticST, kPortCount> m_PortCaption;
    std::optional<std::string> m_nextChosenFile;
};

// Scrolls a multi-line edit down by its line count, which brings its last line into view.
void ScrollToLastLine(HWND edit);

// The modal log window of one port (template 129).
void ShowLogDialog(HWND owner, const LogWindowData& log);

}  // namespace varnel
