// The main window's controls as the window logic sees them: every DialogView operation finds the
// Qt widget registered under the control id and acts on it. Window thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "ui/dialog_view.h"

class QWidget;

namespace varnel {

class QtDialogView final : public DialogView {
  public:
    // `window` parents the message boxes and dialogs; `closeWindow` ends it.
    QtDialogView(QWidget& window, std::function<void()> closeWindow);

    // Registers a control; its object name becomes "idc_<id>".
    void AddControl(int id, QWidget* control);
    // Null for an id nothing was registered under.
    QWidget* Control(int id) const;
    // The next ChooseFile answers `path` without asking (images named on the command line or
    // remembered from the last run); nullopt withdraws an answer no ChooseFile took.
    void SetNextChosenFile(std::optional<std::string> path) { m_nextChosenFile = std::move(path); }

    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) override;
    void ShowControl(int id, bool show) override;
    void SetText(int id, std::string_view text) override;
    std::string GetText(int id) override;
    void AppendText(int id, std::string_view text) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) override;
    void SetTextColor(int id, Color color) override;
    void SetBkColor(int id, Color color) override;
    void SetToolTip(int id, std::string_view text) override;
    void SetProgressRange(int id, int lower, int upper) override;
    void SetProgressPos(int id, int position) override;
    void ShowProgressText(int id, bool show) override;
    void ResetComboBox(int id) override;
    void AddComboString(int id, std::string_view text) override;
    void SetComboSelection(int id, int index) override;
    int GetComboSelection(int id) override;
    int GetComboCount(int id) override;
    MessageResult MessageBox(std::string_view text, std::string_view caption, MessageIcon icon,
                             MessageButtons buttons) override;
    std::optional<std::string> ChooseFile(std::string_view filter) override;
    void ShowLogWindow(const LogWindowData& log) override;
    void CloseWindow() override;

  private:
    template <typename Widget>
    Widget* ControlAs(int id) const;

    QWidget& m_window;
    const std::function<void()> m_closeWindow;
    std::unordered_map<int, QWidget*> m_controls;
    std::optional<std::string> m_nextChosenFile;
};

}  // namespace varnel
