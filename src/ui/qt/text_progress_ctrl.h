// A progress bar that paints its own bar and a text centred on it. The text is drawn twice,
// clipped to the filled part in one colour and to the empty part in another, so it reads inverted
// where the bar has reached it. Without a text of its own it shows the percentage.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace varnel {

class CTextProgressCtrl : public QWidget {
    Q_OBJECT

  public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);

    // Returns the previous position. Repaints at once, but only when the filled width changes.
    int SetPos(int position);
    int GetPos() const { return m_nPos; }
    // Stores the range only; the next paint uses it.
    void SetRange(int lower, int upper);
    int Minimum() const { return m_nMin; }
    int Maximum() const { return m_nMax; }
    // Returns the previous step.
    int SetStep(int step);
    // Advance by the step or by `offset`; each returns the previous position.
    int StepIt();
    int OffsetPos(int offset);

    void SetShowText(bool show);
    bool IsTextShown() const { return m_bShowText; }
    // The window text; empty shows the percentage.
    void SetWindowText(const QString& text);
    const QString& WindowText() const { return m_strText; }
    // What the bar draws: the window text, or the percentage.
    QString DisplayedText() const;

    QColor BarColor() const { return m_crBarClr; }
    QColor BackgroundColor() const { return m_crBgClr; }
    QColor TextColorOnBar() const { return m_crTextOnBarClr; }
    QColor TextColorOnBackground() const { return m_crTextOnBgClr; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void UpdateOpaqueness();
    // The filled fraction of the range; the range is not empty.
    double Fraction() const;
    int BarWidthFor(int position) const;

    int m_nPos = 0;
    int m_nStepSize = 1;
    int m_nMax = 100;
    int m_nMin = 0;
    QString m_strText;
    bool m_bShowText = true;
    // Width of the filled part when last drawn; -1 before the first draw and after a resize.
    int m_nBarWidth = -1;
    QColor m_crBarClr;
    QColor m_crBgClr;
    QColor m_crTextOnBgClr;
    QColor m_crTextOnBarClr;
};

}  // namespace varnel
