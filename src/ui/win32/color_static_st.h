// A static text control with its own text and background colours, applied when its parent
// answers WM_CTLCOLORSTATIC for this control's handle.
#pragma once

#include <windows.h>

namespace varnel {

class CColorStaticST {
  public:
    // In the setters: the system's button-text or button-face colour.
    static constexpr COLORREF kDefault = static_cast<COLORREF>(-1);

    CColorStaticST();
    ~CColorStaticST();
    CColorStaticST(const CColorStaticST&) = delete;
    CColorStaticST& operator=(const CColorStaticST&) = delete;

    void Attach(HWND control) { m_hWnd = control; }
    HWND Handle() const { return m_hWnd; }

    void SetTextColor(COLORREF color);
    void SetBkColor(COLORREF color);
    void SetTransparent(bool transparent);
    COLORREF TextColor() const { return m_crTextColor; }
    COLORREF BkColor() const { return m_crBkColor; }

    // The parent's WM_CTLCOLORSTATIC for this control: prepares `dc` and returns the brush.
    HBRUSH CtlColor(HDC dc) const;

  private:
    void Invalidate() const;

    HWND m_hWnd = nullptr;
    COLORREF m_crTextColor;
    COLORREF m_crBkColor;
    HBRUSH m_hBkBrush;
    bool m_bTransparent = false;
};

}  // namespace varnel
