#include "ui/qt/mem_dc.h"

#include <QPaintDevice>

namespace varnel {

CMemDC::CMemDC(QPainter& target, const QRect& rect)
    : m_target(target),
      m_rect(rect),
      m_bMemDC(target.device() != nullptr && target.device()->devType() != QInternal::Printer &&
               !rect.isEmpty()) {
    if (!m_bMemDC) {
        return;
    }
    const qreal ratio = target.device()->devicePixelRatioF();
    m_bitmap = QImage(m_rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
    m_bitmap.setDevicePixelRatio(ratio);
    m_pMemPainter = std::make_unique<QPainter>(&m_bitmap);
    // Drawing coordinates stay those of the target.
    m_pMemPainter->translate(-m_rect.topLeft());
    m_pMemPainter->setFont(target.font());
}

CMemDC::~CMemDC() {
    if (!m_bMemDC) {
        return;
    }
    m_pMemPainter->end();
    m_target.drawImage(m_rect.topLeft(), m_bitmap);
}

}  // namespace varnel
