// An off-screen surface for one paint: drawing goes to an image of the painted rectangle, in the
// target's coordinates, and is copied onto the target in one piece when the surface goes away,
// so a widget is never seen half drawn. A printer is drawn on directly.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>
#include <memory>

namespace varnel {

class CMemDC {
  public:
    // `rect` is the part of the target being painted (its clip box).
    CMemDC(QPainter& target, const QRect& rect);
    ~CMemDC();
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    QPainter& Painter() { return m_bMemDC ? *m_pMemPainter : m_target; }
    bool DrawsToMemory() const { return m_bMemDC; }

  private:
    QPainter& m_target;
    const QRect m_rect;
    const bool m_bMemDC;
    QImage m_bitmap;
    std::unique_ptr<QPainter> m_pMemPainter;
};

}  // namespace varnel
