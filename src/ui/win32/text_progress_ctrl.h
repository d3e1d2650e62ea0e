// A progress bar control that draws its own bar and a text centred on it, inverted where the bar
// has reached it. It subclasses an existing progress bar control of a dialog.
#pragma once

#include <windows.h>

#include <string>

namespace varnel {

class CTextProgressCtrl {
  public:
    CTextProgressCtrl() = default;
    ~CTextProgressCtrl();
    CTextProgressCtrl(const CTextProgressCtrl&) = delete;
    CTextProgressCtrl& operator=(const CTextProgressCtrl&) = delete;

    // Subclasses the control until Detach or its window goes away.
    void Attach(HWND control);
    void Detach();
    HWND Handle() const { return m_hWnd; }

    // The previous position, or -1 without a window. Repaints at once only when the filled width
    // in pixels changes.
    int SetPos(int position);
    int GetPos() const { return m_nPos; }
    void SetRange(int lower, int upper);
    int SetStep(int step);
    int StepIt();
    int OffsetPos(int offset);
    void SetShowText(bool show);

    // The stored window text, and what the bar draws: the text, or the percentage when empty.
    const std::string& Text() const { return m_strText; }
    std::string DisplayedText() const;
    // How many times the control has painted itself.
    int PaintCount() const { return m_nPaints; }

  private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    int BarWidthFor(int position) const;
    double Fraction() const;
    void Paint();

    HWND m_hWnd = nullptr;
    int m_nPos = 0;
    int m_nStepSize = 1;
    int m_nMax = 100;
    int m_nMin = 0;
    std::string m_strText;
    bool m_bShowText = true;
    int m_nBarWidth = -1;
    COLORREF m_crBarClr = GetSysColor(COLOR_HIGHLIGHT);
    COLORREF m_crBgClr = GetSysColor(COLOR_WINDOW);
    COLORREF m_crTextOnBgClr = GetSysColor(COLOR_HIGHLIGHT);
    COLORREF m_crTextOnBarClr = GetSysColor(COLOR_WINDOW);
    int m_nPaints = 0;
};

}  // namespace varnel
