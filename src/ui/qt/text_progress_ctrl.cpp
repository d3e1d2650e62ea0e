#include "ui/qt/text_progress_ctrl.h"

#include <algorithm>

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include "ui/qt/mem_dc.h"

namespace varnel {

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent) {
    const QPalette& colors = palette();
    m_crBarClr = colors.color(QPalette::Highlight);
    m_crBgClr = colors.color(QPalette::Base);
    m_crTextOnBgClr = colors.color(QPalette::Highlight);
    m_crTextOnBarClr = colors.color(QPalette::Base);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    UpdateOpaqueness();
}

void CTextProgressCtrl::UpdateOpaqueness() {
    // A bar with a range covers all of itself, so what lies beneath need not be painted first;
    // without one it paints nothing and what lies beneath shows.
    setAttribute(Qt::WA_OpaquePaintEvent, m_nMin < m_nMax);
}

double CTextProgressCtrl::Fraction() const {
    return static_cast<double>(m_nPos - m_nMin) / static_cast<double>(m_nMax - m_nMin);
}

int CTextProgressCtrl::BarWidthFor(int position) const {
    if (m_nMin >= m_nMax) {
        return 0;
    }
    const double fraction =
        static_cast<double>(position - m_nMin) / static_cast<double>(m_nMax - m_nMin);
    return static_cast<int>(fraction * width());
}

int CTextProgressCtrl::SetPos(int position) {
    const int previous = m_nPos;
    m_nPos = position;
    const int barWidth = BarWidthFor(position);
    if (barWidth != m_nBarWidth) {
        m_nBarWidth = barWidth;
        repaint();
    }
    return previous;
}

void CTextProgressCtrl::SetRange(int lower, int upper) {
    m_nMin = lower;
    m_nMax = upper;
    UpdateOpaqueness();
}

int CTextProgressCtrl::SetStep(int step) {
    const int previous = m_nStepSize;
    m_nStepSize = step;
    return previous;
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
        update();
    }
}

void CTextProgressCtrl::SetWindowText(const QString& text) {
    if (text != m_strText) {
        m_strText = text;
        update();
    }
}

QString CTextProgressCtrl::DisplayedText() const {
    if (!m_strText.isEmpty() || m_nMin >= m_nMax) {
        return m_strText;
    }
    return QStringLiteral("%1%").arg(static_cast<int>(Fraction() * 100.0));
}

QSize CTextProgressCtrl::sizeHint() const {
    return {240, fontMetrics().height() + 8};
}

QSize CTextProgressCtrl::minimumSizeHint() const {
    return {80, fontMetrics().height() + 4};
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_nBarWidth = -1;
}

void CTextProgressCtrl::paintEvent(QPaintEvent* event) {
    if (m_nMin >= m_nMax) {
        return;
    }
    const QRect client = rect();
    // A position outside the range fills all or nothing.
    const int barRight = std::clamp(client.left() + static_cast<int>(client.width() * Fraction()),
                                    client.left(), client.right() + 1);
    const QRect left(client.left(), client.top(), barRight - client.left(), client.height());
    const QRect right(barRight, client.top(), client.right() + 1 - barRight, client.height());

    QPainter target(this);
    CMemDC memDC(target, event->rect());
    QPainter& painter = memDC.Painter();
    painter.fillRect(left, m_crBarClr);
    painter.fillRect(right, m_crBgClr);
    if (m_bShowText) {
        const QString text = DisplayedText();
        constexpr int kFlags = Qt::AlignCenter | Qt::TextSingleLine;
        painter.setClipRect(left);
        painter.setPen(m_crTextOnBarClr);
        painter.drawText(client, kFlags, text);
        painter.setClipRect(right);
        painter.setPen(m_crTextOnBgClr);
        painter.drawText(client, kFlags, text);
    }
}

}  // namespace varnel
