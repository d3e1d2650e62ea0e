#include "ui/win32/mem_dc.h"

namespace varnel {

CMemDC::CMemDC(HDC target)
    : m_hTarget(target),
      m_hDC(target),
      m_bMemDC(GetDeviceCaps(target, TECHNOLOGY) != DT_RASPRINTER) {
    GetClipBox(target, &m_rect);
    if (!m_bMemDC) {
        return;
    }
    HDC memory = CreateCompatibleDC(target);
    HBITMAP bitmap = memory != nullptr ? CreateCompatibleBitmap(target, m_rect.right - m_rect.left,
                                                                m_rect.bottom - m_rect.top)
                                       : nullptr;
    if (bitmap == nullptr) {
        // Out of GDI resources: draw straight on the target rather than not at all.
        if (memory != nullptr) {
            DeleteDC(memory);
        }
        m_bMemDC = false;
        return;
    }
    m_hDC = memory;
    m_hBitmap = bitmap;
    m_hOldBitmap = SelectObject(m_hDC, m_hBitmap);
    SetWindowOrgEx(m_hDC, m_rect.left, m_rect.top, nullptr);
}

CMemDC::~CMemDC() {
    if (!m_bMemDC) {
        return;
    }
    BitBlt(m_hTarget, m_rect.left, m_rect.top, m_rect.right - m_rect.left,
           m_rect.bottom - m_rect.top, m_hDC, m_rect.left, m_rect.top, SRCCOPY);
    SelectObject(m_hDC, m_hOldBitmap);
    DeleteObject(m_hBitmap);
    DeleteDC(m_hDC);
}

}  // namespace varnel
