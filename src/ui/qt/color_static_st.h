// A static text with its own text and background colours (the port captions).
#pragma once

#include <QColor>
#include <QLabel>

#include "ui/dialog_view.h"

namespace varnel {

class CColorStaticST : public QLabel {
    Q_OBJECT

  public:
    explicit CColorStaticST(QWidget* parent = nullptr);

    // kSystemColor restores the system's button-text colour.
    void SetTextColor(Color color);
    // kSystemColor restores the system's button-face colour.
    void SetBkColor(Color color);
    QColor TextColor() const { return m_crTextColor; }
    QColor BkColor() const { return m_crBkColor; }

  private:
    void ApplyColors();

    QColor m_crTextColor;
    QColor m_crBkColor;
};

}  // namespace varnel
