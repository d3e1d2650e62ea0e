// A view that draws nothing, so that a benchmark times only the window's own logic. An edit's
// appended text is kept, as a real edit box keeps it.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "ui/dialog_view.h"

namespace varnel::bench {

class NullDialogView final : public DialogView {
  public:
    void EnableControl(int, bool) override {}
    bool IsControlEnabled(int) override { return true; }
    void ShowControl(int, bool) override {}
    void SetText(int, std::string_view text) override { m_strLastText = text; }
    std::string GetText(int) override { return {}; }
    void AppendText(int, std::string_view text) override { m_strEdit += text; }
    void SetCheck(int, bool) override {}
    bool GetCheck(int) override { return false; }
    void SetTextColor(int, Color) override {}
    void SetBkColor(int, Color) override {}
    void SetProgressRange(int, int, int) override {}
    void SetProgressPos(int, int) override {}
    void ShowProgressText(int, bool) override {}
    void ResetComboBox(int) override {}
    void AddComboString(int, std::string_view) override {}
    void SetComboSelection(int, int) override {}
    int GetComboSelection(int) override { return -1; }
    int GetComboCount(int) override { return 0; }
    MessageResult MessageBox(std::string_view, std::string_view, MessageIcon,
                             MessageButtons) override {
        return MessageResult::kOk;
    }
    // The Open dialog answers the file set with SetChosenFile, or is cancelled.
    std::optional<std::string> ChooseFile(std::string_view) override { return m_strChosenFile; }
    void ShowLogWindow(const LogWindowData&) override {}
    void CloseWindow() override {}

    size_t EditSize() const { return m_strEdit.size(); }
    void SetChosenFile(std::string path) { m_strChosenFile = std::move(path); }

  private:
    std::string m_strLastText;
    std::string m_strEdit;
    std::optional<std::string> m_strChosenFile;
};

}  // namespace varnel::bench
