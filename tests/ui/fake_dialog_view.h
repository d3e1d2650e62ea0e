// A DialogView that records what the window does to its controls, for tests. Window thread only,
// except `Sequence`, which workers may read to order their own steps against the view's calls.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ui/dialog_view.h"

namespace varnel::test {

class FakeDialogView : public DialogView {
  public:
    struct EnableCall {
        int id;
        bool enable;
        long sequence;
    };
    struct MessageBoxCall {
        std::string text;
        std::string caption;
        MessageIcon icon;
        MessageButtons buttons;
    };

    // A counter every recorded call advances; shared with whatever else a test orders.
    static long NextSequence() { return ++s_sequence; }

    void EnableControl(int id, bool enable) override {
        Touch();
        enabled[id] = enable;
        enableCalls.push_back({id, enable, NextSequence()});
    }
    bool IsControlEnabled(int id) override { return IsEnabled(id); }
    void ShowControl(int id, bool show) override {
        Touch();
        shown[id] = show;
    }
    void SetText(int id, std::string_view value) override {
        Touch();
        text[id] = std::string(value);
    }
    std::string GetText(int id) override { return text[id]; }
    void AppendText(int id, std::string_view value) override {
        Touch();
        text[id] += value;
        appendCalls.emplace_back(id, std::string(value));
    }
    void SetCheck(int id, bool checked) override {
        Touch();
        checks[id] = checked;
    }
    bool GetCheck(int id) override { return checks[id]; }
    void SetTextColor(int id, Color color) override {
        Touch();
        textColor[id] = color;
    }
    void SetBkColor(int id, Color color) override {
        Touch();
        bkColor[id] = color;
    }
    void SetToolTip(int id, std::string_view tip) override { toolTip[id] = std::string(tip); }
    void SetProgressRange(int id, int lower, int upper) override {
        Touch();
        range[id] = {lower, upper};
    }
    void SetProgressPos(int id, int position) override {
        Touch();
        pos[id] = position;
    }
    void ShowProgressText(int id, bool show) override {
        Touch();
        showText[id] = show;
    }
    void ResetComboBox(int id) override {
        combos[id].clear();
        comboSelection[id] = -1;
    }
    void AddComboString(int id, std::string_view value) override { combos[id].emplace_back(value); }
    void SetComboSelection(int id, int index) override { comboSelection[id] = index; }
    int GetComboSelection(int id) override {
        auto found = comboSelection.find(id);
        return found == comboSelection.end() ? -1 : found->second;
    }
    int GetComboCount(int id) override { return static_cast<int>(combos[id].size()); }
    MessageResult MessageBox(std::string_view message, std::string_view caption, MessageIcon icon,
                             MessageButtons buttons) override {
        messageBoxes.push_back({std::string(message), std::string(caption), icon, buttons});
        if (messageBoxAnswers.empty()) {
            return MessageResult::kOk;
        }
        const MessageResult answer = messageBoxAnswers.front();
        messageBoxAnswers.pop_front();
        return answer;
    }
    std::optional<std::string> ChooseFile(std::string_view filter) override {
        fileFilters.emplace_back(filter);
        return chosenFile;
    }
    void ShowLogWindow(const LogWindowData& log) override { logWindows.push_back(log); }
    void CloseWindow() override { ++closeCount; }

    bool IsEnabled(int id) const {
        auto found = enabled.find(id);
        return found != enabled.end() && found->second;
    }
    bool IsShown(int id) const {
        auto found = shown.find(id);
        return found == shown.end() || found->second;
    }
    // The ids of the enable calls from `first` on, each with its direction.
    std::vector<std::pair<int, bool>> EnableCallsFrom(size_t first) const {
        std::vector<std::pair<int, bool>> calls;
        for (size_t i = first; i < enableCalls.size(); ++i) {
            calls.emplace_back(enableCalls[i].id, enableCalls[i].enable);
        }
        return calls;
    }

    std::map<int, bool> enabled, shown, checks, showText;
    std::map<int, std::string> text, toolTip;
    std::map<int, Color> textColor, bkColor;
    std::map<int, int> pos;
    std::map<int, std::pair<int, int>> range;
    std::map<int, std::vector<std::string>> combos;
    std::map<int, int> comboSelection;
    std::vector<EnableCall> enableCalls;
    std::vector<std::pair<int, std::string>> appendCalls;
    std::vector<MessageBoxCall> messageBoxes;
    std::deque<MessageResult> messageBoxAnswers;
    std::vector<std::string> fileFilters;
    std::optional<std::string> chosenFile;
    std::vector<LogWindowData> logWindows;
    int closeCount = 0;
    // Threads that drew: a window view must only ever see the window thread.
    std::vector<std::thread::id> drawingThreads;

  private:
    void Touch() {
        const auto self = std::this_thread::get_id();
        if (drawingThreads.empty() || drawingThreads.back() != self) {
            drawingThreads.push_back(self);
        }
    }

    static inline std::atomic<long> s_sequence{0};
};

}  // namespace varnel::test
