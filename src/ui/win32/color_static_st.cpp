#include "ui/win32/color_static_st.h"

namespace varnel {

CColorStaticST::CColorStaticST()
    : m_crTextColor(GetSysColor(COLOR_BTNTEXT)),
      m_crBkColor(GetSysColor(COLOR_BTNFACE)),
      m_hBkBrush(CreateSolidBrush(m_crBkColor)) {}

CColorStaticST::~CColorStaticST() {
    DeleteObject(m_hBkBrush);
}

void CColorStaticST::Invalidate() const {
    if (m_hWnd != nullptr) {
        InvalidateRect(m_hWnd, nullptr, TRUE);
    }
}

void CColorStaticST::SetTextColor(COLORREF color) {
    m_crTextColor = color == kDefault ? GetSysColor(COLOR_BTNTEXT) : color;
    Invalidate();
}

void CColorStaticST::SetBkColor(COLORREF color) {
    m_crBkColor = color == kDefault ? GetSysColor(COLOR_BTNFACE) : color;
    HBRUSH brush = CreateSolidBrush(m_crBkColor);
    if (brush != nullptr) {
        DeleteObject(m_hBkBrush);
        m_hBkBrush = brush;
    }
    Invalidate();
}

void CColorStaticST::SetTransparent(bool transparent) {
    m_bTransparent = transparent;
    Invalidate();
}

HBRUSH CColorStaticST::CtlColor(HDC dc) const {
    ::SetTextColor(dc, m_crTextColor);
    if (m_bTransparent) {
        SetBkMode(dc, TRANSPARENT);
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    }
    ::SetBkColor(dc, m_crBkColor);
    return m_hBkBrush;
}

}  // namespace varnel
