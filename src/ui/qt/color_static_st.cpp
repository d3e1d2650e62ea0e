#include "ui/qt/color_static_st.h"

#include <QApplication>
#include <QPalette>

#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

QColor SystemColor(QPalette::ColorRole role) {
    return QApplication::palette().color(QPalette::Active, role);
}

}  // namespace

CColorStaticST::CColorStaticST(QWidget* parent)
    : QLabel(parent),
      m_crTextColor(SystemColor(QPalette::ButtonText)),
      m_crBkColor(SystemColor(QPalette::Button)) {
    setAutoFillBackground(true);
    ApplyColors();
}

void CColorStaticST::SetTextColor(Color color) {
    m_crTextColor = color == kSystemColor ? SystemColor(QPalette::ButtonText) : ToQColor(color);
    ApplyColors();
}

void CColorStaticST::SetBkColor(Color color) {
    m_crBkColor = color == kSystemColor ? SystemColor(QPalette::Button) : ToQColor(color);
    ApplyColors();
}

void CColorStaticST::ApplyColors() {
    QPalette colors = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colors.setColor(group, QPalette::WindowText, m_crTextColor);
        colors.setColor(group, QPalette::Window, m_crBkColor);
    }
    // setPalette repaints the label.
    setPalette(colors);
}

}  // namespace varnel
