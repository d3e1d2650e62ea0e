// What the main window's logic needs from whatever draws it. Every operation is keyed by a
// control id of control_ids.h and is called on the window thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

// 0x00BBGGRR, or kSystemColor for the system's colour of that role (the caption's text colour
// is the system's info-text colour).
using Color = int32_t;
inline constexpr Color kSystemColor = -1;
inline constexpr Color Rgb(int red, int green, int blue) {
    return static_cast<Color>((red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16));
}
inline constexpr Color kColorCleared = Rgb(255, 255, 0);
inline constexpr Color kColorAttached = Rgb(0, 255, 0);
inline constexpr Color kColorFinished = Rgb(0, 0, 255);
inline constexpr Color kColorFailed = Rgb(255, 0, 0);

enum class MessageIcon { kNone, kExclamation, kQuestion, kError };
// kOkCancelDefaultCancel: Return and Escape both answer Cancel, for questions whose OK undoes work.
enum class MessageButtons { kOk, kOkCancel, kOkCancelDefaultCancel };
enum class MessageResult { kOk, kCancel };

// A port's log as the log window shows it.
struct LogWindowData {
    int nThread = 0;
    std::string strTitle;  // "Thread %d Log:"
    std::string strLog;    // a copy taken when the window opens
};

class DialogView {
  public:
    virtual ~DialogView() = default;

    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) = 0;
    virtual void ShowControl(int id, bool show) = 0;
    // The window text: an edit's contents, a static's or caption's text, a progress bar's
    // status text (empty: the bar shows its percentage).
    virtual void SetText(int id, std::string_view text) = 0;
    virtual std::string GetText(int id) = 0;
    // Adds text at the end of an edit and brings the end into view.
    virtual void AppendText(int id, std::string_view text) = 0;
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool GetCheck(int id) = 0;

    // A control's tooltip; views without tooltips ignore it.
    virtual void SetToolTip(int /*id*/, std::string_view /*text*/) {}

    virtual void SetTextColor(int id, Color color) = 0;
    virtual void SetBkColor(int id, Color color) = 0;

    virtual void SetProgressRange(int id, int lower, int upper) = 0;
    virtual void SetProgressPos(int id, int position) = 0;
    virtual void ShowProgressText(int id, bool show) = 0;

    virtual void ResetComboBox(int id) = 0;
    virtual void AddComboString(int id, std::string_view text) = 0;
    virtual void SetComboSelection(int id, int index) = 0;
    // The selected index, or -1 when nothing is selected.
    virtual int GetComboSelection(int id) = 0;
    // The number of entries, or -1 when the box cannot count them.
    virtual int GetComboCount(int id) = 0;

    // Modal; returns what the operator pressed.
    virtual MessageResult MessageBox(std::string_view text, std::string_view caption,
                                     MessageIcon icon, MessageButtons buttons) = 0;
    // Modal Open dialog with a filter such as "EBoot Image (*.eb0)|*.eb0|"; nullopt when
    // cancelled.
    virtual std::optional<std::string> ChooseFile(std::string_view filter) = 0;
    // Modal log window of one port.
    virtual void ShowLogWindow(const LogWindowData& log) = 0;
    // Ends the window; the owner then destroys CMorvaneDlg.
    virtual void CloseWindow() = 0;
};

}  // namespace varnel
