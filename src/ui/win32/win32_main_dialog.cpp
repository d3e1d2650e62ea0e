#include "ui/win32/win32_main_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "engine/host_startup.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_text.h"

namespace varnel {

namespace {

static_assert(IDS_APP_TITLE == kStringAppTitle && IDS_ABOUTBOX == kStringAboutBox);

constexpr int kImageSelectionKinds[kImageKindCount] = {
    kSelectEboot, kSelectPda, kSelectCsc,        kSelectTelvik,
    kSelectPhone, kSelectSmd, kSelectIntegrated, kSelectContents};

template <size_t N>
int IndexOf(const std::array<int, N>& ids, int id) {
    for (size_t index = 0; index < N; ++index) {
        if (ids[index] == id) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowTextW(dialog, Widen(LoadResourceString(IDS_ABOUTBOX)).c_str());
            SetDlgItemTextW(dialog, IDC_ABOUT_TEXT,
                            Widen(LoadResourceString(IDS_APP_TITLE)).c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::string LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    // Length 0 asks for a read-only pointer into the resource itself.
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text != nullptr ? Narrow(std::wstring_view(text, length)) : std::string();
}

Win32MainDialog::Win32MainDialog(std::function<void()> onClosed)
    : m_hIcon(LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION))),
      m_onClosed(std::move(onClosed)) {
    // The template's progress bars are common controls: their class must be registered first.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    m_hDlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MORVANE_DIALOG),
                                nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
    if (m_hDlg != nullptr) {
        m_pView = std::make_unique<Win32DialogView>(m_hDlg, [this] { Destroy(); });
    }
}

Win32MainDialog::~Win32MainDialog() {
    m_onClosing = nullptr;
    m_onClosed = nullptr;
    Destroy();
}

void Win32MainDialog::Destroy() {
    if (m_hDlg == nullptr) {
        return;
    }
    if (m_onClosing) {
        m_onClosing();
    }
    HWND dialog = std::exchange(m_hDlg, nullptr);
    DestroyWindow(dialog);
    if (m_onClosed) {
        m_onClosed();
    }
}

void Win32MainDialog::InitWindow() {
    SetWindowTextW(m_hDlg, Widen(LoadResourceString(IDS_APP_TITLE)).c_str());
    const std::wstring about = Widen(LoadResourceString(IDS_ABOUTBOX));
    HMENU systemMenu = GetSystemMenu(m_hDlg, FALSE);
    if (systemMenu != nullptr && !about.empty()) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    SendMessageW(m_hDlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    DragAcceptFiles(m_hDlg, TRUE);
}

void Win32MainDialog::ShowAboutBox() {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hDlg, AboutProc,
                    0);
}

bool Win32MainDialog::PreTranslateMessage(MSG& message) {
    return m_hDlg != nullptr && IsDialogMessageW(m_hDlg, &message) != FALSE;
}

INT_PTR CALLBACK Win32MainDialog::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        return TRUE;
    }
    auto* self = reinterpret_cast<Win32MainDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (self == nullptr || self->m_hDlg != dialog) {
        return FALSE;
    }
    return self->OnMessage(message, wParam, lParam);
}

INT_PTR Win32MainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_CTLCOLORSTATIC: {
            HBRUSH brush = m_pView ? m_pView->OnCtlColorStatic(reinterpret_cast<HDC>(wParam),
                                                               reinterpret_cast<HWND>(lParam))
                                   : nullptr;
            return reinterpret_cast<INT_PTR>(brush);
        }
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ShowAboutBox();
                return TRUE;
            }
            return FALSE;
        case WM_PAINT:
            if (IsIconic(m_hDlg)) {
                OnPaintIconic();
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(m_hIcon);
        case WM_DROPFILES:
            OnDropFiles(reinterpret_cast<HDROP>(wParam));
            return TRUE;
        case WM_QUERYENDSESSION:
            // The session may end: nothing here holds it up.
            SetWindowLongPtrW(m_hDlg, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE && m_onEndSession) {
                std::exchange(m_onEndSession, nullptr)();
            }
            return TRUE;
        case WM_CLOSE:
            if (m_pDlg == nullptr) {
                Destroy();
            } else {
                m_pDlg->OnClose();
            }
            return TRUE;
        default:
            return FALSE;
    }
}

void Win32MainDialog::OnCommand(int id, int code) {
    if (m_pDlg == nullptr) {
        return;
    }
    CMorvaneDlg& dlg = *m_pDlg;
    if (code == CBN_SELCHANGE) {
        if (id == IDC_MODE_SELECT) {
            dlg.OnModeSelect();
        } else if (id == IDC_CSC_FILE_SELECT) {
            dlg.OnSelectCscFile();
        }
        return;
    }
    if (code != BN_CLICKED) {
        return;
    }
    if (const int kind = IndexOf(kImageButtonIds, id); kind >= 0) {
        dlg.OnImageButton(kImageSelectionKinds[kind]);
    } else if (const int port = IndexOf(kPortResetIds, id); port >= 0) {
        dlg.OnResetPortButton(port);
    } else if (const int logPort = IndexOf(kSeeLogIds, id); logPort >= 0) {
        dlg.OnSeeLog(logPort);
    } else if (id == IDC_DETECT) {
        dlg.OnDetect();
        if (m_onDetect) {
            m_onDetect();
        }
    } else if (id == IDC_START_DOWNLOADING) {
        dlg.OnStartDownloading();
    } else if (id == IDC_RESET_ALL) {
        dlg.ResetAll();
    } else if (IndexOf(kJobControls, id) >= 0) {
        dlg.OnOptionCheck(id);
    }
    // Enter (IDOK) and Escape (IDCANCEL) do not end the window: closing asks first (WM_CLOSE).
}

void Win32MainDialog::OnDropFiles(HDROP drop) {
    std::vector<std::string> names;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT index = 0; index < count; ++index) {
        const UINT length = DragQueryFileW(drop, index, nullptr, 0);
        std::wstring name(length + 1, L'\0');
        const UINT copied = DragQueryFileW(drop, index, name.data(), length + 1);
        name.resize(copied);
        names.push_back(Narrow(name));
    }
    DragFinish(drop);
    if (m_pDlg != nullptr && !names.empty()) {
        m_pDlg->OnDropFiles(names);
    }
}

void Win32MainDialog::OnPaintIconic() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hDlg, &paint);
    RECT client{};
    GetClientRect(m_hDlg, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hDlg, &paint);
}

}  // namespace varnel
