// An off-screen drawing surface over a target device context: drawing goes to a memory bitmap of
// the target's clip box, in the target's coordinates, and the destructor copies it to the target
// in one block. A printer context is drawn on directly.
#pragma once

#include <windows.h>

namespace varnel {

class CMemDC {
  public:
    explicit CMemDC(HDC target);
    ~CMemDC();
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    HDC Dc() const { return m_hDC; }
    const RECT& Rect() const { return m_rect; }

  private:
    HDC m_hTarget;
    HDC m_hDC;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOldBitmap = nullptr;
    RECT m_rect{};
    bool m_bMemDC;
};

}  // namespace varnel
