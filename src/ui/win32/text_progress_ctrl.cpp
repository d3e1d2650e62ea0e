#include "ui/win32/text_progress_ctrl.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "images/format_entry.h"
#include "ui/win32/mem_dc.h"
#include "ui/win32/win32_text.h"

namespace varnel {

namespace {
constexpr UINT_PTR kSubclassId = 1;
}

CTextProgressCtrl::~CTextProgressCtrl() {
    Detach();
}

void CTextProgressCtrl::Attach(HWND control) {
    Detach();
    if (control != nullptr &&
        SetWindowSubclass(control, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        m_hWnd = control;
        m_strText = WindowText(control);
    }
}

void CTextProgressCtrl::Detach() {
    if (m_hWnd != nullptr) {
        RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
        m_hWnd = nullptr;
    }
}

double CTextProgressCtrl::Fraction() const {
    return static_cast<double>(m_nPos - m_nMin) / static_cast<double>(m_nMax - m_nMin);
}

int CTextProgressCtrl::BarWidthFor(int position) const {
    if (m_nMin >= m_nMax) {
        return 0;
    }
    RECT client{};
    GetClientRect(m_hWnd, &client);
    const double fraction =
        static_cast<double>(position - m_nMin) / static_cast<double>(m_nMax - m_nMin);
    return static_cast<int>(fraction * (client.right - client.left));
}

int CTextProgressCtrl::SetPos(int position) {
    if (m_hWnd == nullptr) {
        return -1;
    }
    const int previous = m_nPos;
    m_nPos = position;
    const int barWidth = BarWidthFor(position);
    if (barWidth != m_nBarWidth) {
        m_nBarWidth = barWidth;
        RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    return previous;
}

void CTextProgressCtrl::SetRange(int lower, int upper) {
    m_nMin = lower;
    m_nMax = upper;
}

int CTextProgressCtrl::SetStep(int step) {
    return std::exchange(m_nStepSize, step);
}

int CTextProgressCtrl::StepIt() {
    return SetPos(m_nPos + m_nStepSize);
}

int CTextProgressCtrl::OffsetPos(int offset) {
    return SetPos(m_nPos + offset);
}

void CTextProgressCtrl::SetShowText(bool show) {
    if (show != m_bShowText) {
        m_bShowText = show;
        InvalidateRect(m_hWnd, nullptr, FALSE);
    }
}

std::string CTextProgressCtrl::DisplayedText() const {
    if (!m_strText.empty() || m_nMin >= m_nMax) {
        return m_strText;
    }
    return FormatEntry("%d%%", static_cast<int>(Fraction() * 100.0));
}

LRESULT CALLBACK CTextProgressCtrl::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam, UINT_PTR /*id*/, DWORD_PTR self) {
    auto* ctrl = reinterpret_cast<CTextProgressCtrl*>(self);
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, SubclassProc, kSubclassId);
        ctrl->m_hWnd = nullptr;
        return DefSubclassProc(window, message, wParam, lParam);
    }
    return ctrl->OnMessage(message, wParam, lParam);
}

LRESULT CTextProgressCtrl::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            Paint();
            return 0;
        case WM_ERASEBKGND:
            return TRUE;
        case WM_SIZE: {
            const LRESULT result = DefSubclassProc(m_hWnd, message, wParam, lParam);
            m_nBarWidth = -1;
            return result;
        }
        case WM_SETTEXT: {
            const LRESULT result = DefSubclassProc(m_hWnd, message, wParam, lParam);
            const auto* text = reinterpret_cast<const wchar_t*>(lParam);
            std::string newText = text != nullptr ? Narrow(text) : std::string();
            if (newText != m_strText) {
                m_strText = std::move(newText);
                InvalidateRect(m_hWnd, nullptr, FALSE);
            }
            return result;
        }
        default:
            return DefSubclassProc(m_hWnd, message, wParam, lParam);
    }
}

void CTextProgressCtrl::Paint() {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(m_hWnd, &paint);
    if (target == nullptr) {
        return;
    }
    if (m_nMin < m_nMax) {
        ++m_nPaints;
        RECT client{};
        GetClientRect(m_hWnd, &client);
        // A position outside the range fills all or nothing.
        const int width = client.right - client.left;
        const int barRight =
            client.left + std::clamp(static_cast<int>(width * Fraction()), 0, width);
        const RECT left{client.left, client.top, barRight, client.bottom};
        const RECT right{barRight, client.top, client.right, client.bottom};

        CMemDC memDC(target);
        HDC dc = memDC.Dc();
        HBRUSH bar = CreateSolidBrush(m_crBarClr);
        HBRUSH background = CreateSolidBrush(m_crBgClr);
        FillRect(dc, &left, bar);
        FillRect(dc, &right, background);
        DeleteObject(bar);
        DeleteObject(background);
        if (m_bShowText) {
            std::wstring text = Widen(DisplayedText());
            auto* font = reinterpret_cast<HFONT>(SendMessageW(GetParent(m_hWnd), WM_GETFONT, 0, 0));
            HGDIOBJ oldFont = font != nullptr ? SelectObject(dc, font) : nullptr;
            SetBkMode(dc, TRANSPARENT);
            constexpr UINT kFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
            const struct {
                const RECT& clip;
                COLORREF color;
            } halves[] = {{left, m_crTextOnBarClr}, {right, m_crTextOnBgClr}};
            for (const auto& half : halves) {
                const int saved = SaveDC(dc);
                IntersectClipRect(dc, half.clip.left, half.clip.top, half.clip.right,
                                  half.clip.bottom);
                ::SetTextColor(dc, half.color);
                RECT whole = client;
                DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &whole, kFormat);
                RestoreDC(dc, saved);
            }
            if (oldFont != nullptr) {
                SelectObject(dc, oldFont);
            }
        }
    }
    EndPaint(m_hWnd, &paint);
}

}  // namespace varnel
