#include "ui/win32/win32_dialog_view.h"

#include <commdlg.h>

#include <algorithm>
#include <utility>

#include "ui/control_ids.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_text.h"

namespace varnel {

namespace {

UINT IconStyle(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::kExclamation:
            return MB_ICONEXCLAMATION;
        case MessageIcon::kQuestion:
            return MB_ICONQUESTION;
        case MessageIcon::kError:
            return MB_ICONERROR;
        case MessageIcon::kNone:
            break;
    }
    return 0;
}

UINT ButtonStyle(MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::kOkCancel:
            return MB_OKCANCEL;
        case MessageButtons::kOkCancelDefaultCancel:
            return MB_OKCANCEL | MB_DEFBUTTON2;
        case MessageButtons::kOk:
            break;
    }
    return MB_OK;
}

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto* log = reinterpret_cast<const LogWindowData*>(lParam);
            SetDlgItemTextW(dialog, IDC_LOG_WINDOW_TITLE, Widen(log->strTitle).c_str());
            SetDlgItemTextW(dialog, IDC_LOG_WINDOW_TEXT, Widen(log->strLog).c_str());
            ScrollToLastLine(GetDlgItem(dialog, IDC_LOG_WINDOW_TEXT));
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void ScrollToLastLine(HWND edit) {
    const LRESULT lines = SendMessageW(edit, EM_GETLINECOUNT, 0, 0);
    SendMessageW(edit, EM_LINESCROLL, 0, lines);
}

void ShowLogDialog(HWND owner, const LogWindowData& log) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_LOG_DIALOG), owner,
                    LogDialogProc, reinterpret_cast<LPARAM>(&log));
}

Win32DialogView::Win32DialogView(HWND dialog, std::function<void()> closeWindow)
    : m_hDlg(dialog), m_closeWindow(std::move(closeWindow)) {
    for (int port = 0; port < kPortCount; ++port) {
        m_PortCaption[port].Attach(Control(kPortCaptionIds[port]));
        m_ProgressBar[port].Attach(Control(ProgressId(port)));
    }
}

int Win32DialogView::BarPort(int id) {
    return id >= ProgressId(0) && id < ProgressId(kPortCount) ? id - ProgressId(0) : -1;
}

int Win32DialogView::CaptionPort(int id) {
    const auto found = std::find(kPortCaptionIds.begin(), kPortCaptionIds.end(), id);
    return found == kPortCaptionIds.end() ? -1 : static_cast<int>(found - kPortCaptionIds.begin());
}

bool Win32DialogView::IsEdit(HWND control) const {
    wchar_t className[16] = {};
    GetClassNameW(control, className, static_cast<int>(std::size(className)));
    return lstrcmpiW(className, L"Edit") == 0;
}

HBRUSH Win32DialogView::OnCtlColorStatic(HDC dc, HWND control) {
    for (const CColorStaticST& caption : m_PortCaption) {
        if (caption.Handle() != nullptr && caption.Handle() == control) {
            return caption.CtlColor(dc);
        }
    }
    return nullptr;
}

void Win32DialogView::EnableControl(int id, bool enable) {
    if (HWND control = Control(id)) {
        EnableWindow(control, enable ? TRUE : FALSE);
    }
}

bool Win32DialogView::IsControlEnabled(int id) {
    HWND control = Control(id);
    return control != nullptr && IsWindowEnabled(control) != FALSE;
}

void Win32DialogView::ShowControl(int id, bool show) {
    if (HWND control = Control(id)) {
        ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }
}

void Win32DialogView::SetText(int id, std::string_view text) {
    HWND control = Control(id);
    if (control == nullptr) {
        return;
    }
    SetWindowTextW(control, Widen(text).c_str());
    if (IsEdit(control)) {
        ScrollToLastLine(control);
    }
}

std::string Win32DialogView::GetText(int id) {
    HWND control = Control(id);
    return control != nullptr ? WindowText(control) : std::string();
}

void Win32DialogView::AppendText(int id, std::string_view text) {
    HWND control = Control(id);
    if (control == nullptr) {
        return;
    }
    if (!IsEdit(control)) {
        SetText(id, GetText(id) + std::string(text));
        return;
    }
    // Inserted at the end without setting the whole text again.
    const LRESULT end = GetWindowTextLengthW(control);
    SendMessageW(control, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Widen(text).c_str()));
    ScrollToLastLine(control);
}

void Win32DialogView::SetCheck(int id, bool checked) {
    CheckDlgButton(m_hDlg, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool Win32DialogView::GetCheck(int id) {
    return IsDlgButtonChecked(m_hDlg, id) == BST_CHECKED;
}

void Win32DialogView::SetTextColor(int id, Color color) {
    const int port = CaptionPort(id);
    if (port >= 0) {
        m_PortCaption[port].SetTextColor(color == kSystemColor ? GetSysColor(COLOR_INFOTEXT)
                                                               : static_cast<COLORREF>(color));
    }
}

void Win32DialogView::SetBkColor(int id, Color color) {
    const int port = CaptionPort(id);
    if (port >= 0) {
        m_PortCaption[port].SetBkColor(color == kSystemColor ? CColorStaticST::kDefault
                                                             : static_cast<COLORREF>(color));
    }
}

void Win32DialogView::SetProgressRange(int id, int lower, int upper) {
    const int port = BarPort(id);
    if (port >= 0) {
        m_ProgressBar[port].SetRange(lower, upper);
    }
}

void Win32DialogView::SetProgressPos(int id, int position) {
    const int port = BarPort(id);
    if (port >= 0) {
        m_ProgressBar[port].SetPos(position);
    }
}

void Win32DialogView::ShowProgressText(int id, bool show) {
    const int port = BarPort(id);
    if (port >= 0) {
        m_ProgressBar[port].SetShowText(show);
    }
}

void Win32DialogView::ResetComboBox(int id) {
    SendDlgItemMessageW(m_hDlg, id, CB_RESETCONTENT, 0, 0);
}

void Win32DialogView::AddComboString(int id, std::string_view text) {
    SendDlgItemMessageW(m_hDlg, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
}

void Win32DialogView::SetComboSelection(int id, int index) {
    SendDlgItemMessageW(m_hDlg, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32DialogView::GetComboSelection(int id) {
    if (Control(id) == nullptr) {
        return -1;
    }
    const LRESULT selection = SendDlgItemMessageW(m_hDlg, id, CB_GETCURSEL, 0, 0);
    return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

int Win32DialogView::GetComboCount(int id) {
    if (Control(id) == nullptr) {
        return -1;
    }
    const LRESULT count = SendDlgItemMessageW(m_hDlg, id, CB_GETCOUNT, 0, 0);
    return count == CB_ERR ? -1 : static_cast<int>(count);
}

MessageResult Win32DialogView::MessageBox(std::string_view text, std::string_view caption,
                                          MessageIcon icon, MessageButtons buttons) {
    const int answer = MessageBoxW(m_hDlg, Widen(text).c_str(), Widen(caption).c_str(),
                                   IconStyle(icon) | ButtonStyle(buttons));
    return answer == IDOK ? MessageResult::kOk : MessageResult::kCancel;
}

std::optional<std::string> Win32DialogView::ChooseFile(std::string_view filter) {
    if (m_nextChosenFile) {
        return std::exchange(m_nextChosenFile, std::nullopt);
    }
    const std::wstring filters = OpenFileFilter(filter);
    wchar_t fileName[MAX_PATH] = {};
    OPENFILENAMEW open{};
    open.lStructSize = sizeof(open);
    open.hwndOwner = m_hDlg;
    open.lpstrFilter = filters.c_str();
    open.lpstrFile = fileName;
    open.nMaxFile = MAX_PATH;
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&open)) {
        return std::nullopt;
    }
    return Narrow(fileName);
}

void Win32DialogView::ShowLogWindow(const LogWindowData& log) {
    ShowLogDialog(m_hDlg, log);
}

bool Win32DialogView::IsControlShown(int id) {
    // The control's own state: the dialog may not be shown yet.
    return (GetWindowLongW(Control(id), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Win32DialogView::CloseWindow() {
    if (m_closeWindow) {
        m_closeWindow();
    }
}

}  // namespace varnel
