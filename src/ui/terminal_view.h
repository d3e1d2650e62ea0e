// The main window as a terminal shows it: the main log streamed out as it grows and, when the
// status stream is a terminal, one live line per port (caption in its state colour, bar, status
// text, rate and time left). Controls keep their state in memory, so the window's logic reads
// back what it wrote, as it does from real controls. Window thread only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/download_job.h"
#include "ui/dialog_view.h"

namespace varnel {

// What a port has sent so far, what its whole job is expected to send (0: unknown) and when the
// job started (none yet: no pace is shown).
struct PortTraffic {
    uint64_t qwBytesSent = 0;
    uint64_t qwBytesExpected = 0;
    std::optional<std::chrono::steady_clock::time_point> jobStart;
};

struct TerminalStreams {
    FILE* log = stdout;           // main-log text
    FILE* status = stderr;        // message boxes, questions, progress lines, the summary
    FILE* answers = stdin;        // answers to questions
    bool bLiveProgress = false;   // `status` is a terminal: draw the progress lines there
    bool bLogOnTerminal = false;  // `log` is the same terminal: lines it prints move the picture
    bool bInteractive = false;    // questions wait for an answer from `answers`
    bool bColours = true;         // captions in their state colours (off: NO_COLOR)
    // `status` is no terminal: a plain line per active port every kPlainInterval instead.
    bool bPlainProgress = false;
    // Width of the terminal in characters; 80 when not given.
    std::function<int()> columns;
    // How the log's 8-bit text is written out (its code page decoded); as it is when not given.
    std::function<std::string(std::string_view)> logText;
};

// The log's "\r\n" line ends as this platform ends lines in a text stream.
std::string ToPlatformLineEnds(std::string_view text);

class TerminalView final : public DialogView {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    static constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
    static constexpr auto kPlainInterval = std::chrono::seconds(5);

    explicit TerminalView(TerminalStreams streams);

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
    void SetProgressRange(int id, int lower, int upper) override;
    void SetProgressPos(int id, int position) override;
    void ShowProgressText(int id, bool show) override;
    void ResetComboBox(int id) override;
    void AddComboString(int id, std::string_view text) override;
    void SetComboSelection(int id, int index) override;
    int GetComboSelection(int id) override;
    int GetComboCount(int id) override;
    // OK boxes are printed; OK/Cancel questions are printed and, when interactive, answered
    // from the answers stream (anything but "c..." or "n..." is OK), otherwise answered OK.
    MessageResult MessageBox(std::string_view text, std::string_view caption, MessageIcon icon,
                             MessageButtons buttons) override;
    // Answers with the path set by SetNextChosenFile, once; cancelled when there is none.
    std::optional<std::string> ChooseFile(std::string_view filter) override;
    void ShowLogWindow(const LogWindowData& log) override;
    void CloseWindow() override { m_bClosed = true; }

    void SetNextChosenFile(std::optional<std::string> path) { m_nextChosenFile = std::move(path); }
    // Also receives every main-log text as it is printed (a log file).
    void SetMainLogCopy(std::function<void(std::string_view)> copy) {
        m_mainLogCopy = std::move(copy);
    }
    void SetTrafficSource(std::function<PortTraffic(int port)> source) {
        m_trafficSource = std::move(source);
    }
    // The job's overall line below the ports' (ports done, failed, bytes written); none when unset.
    void SetJobLineSource(std::function<std::string()> source) {
        m_jobLineSource = std::move(source);
    }
    bool IsClosed() const { return m_bClosed; }
    // Whether the progress lines are drawn live.
    bool IsLive() const { return m_streams.bLiveProgress; }
    bool IsControlShown(int id) const;
    int GetProgressPos(int id) const;
    const std::vector<std::string>& ComboStrings(int id) { return m_combos[id].strings; }

    // Draws the progress lines when they changed and the last drawing is at least
    // kRedrawInterval old, or at once with `force`. Without a live terminal, plain lines of the
    // ports under way every kPlainInterval when bPlainProgress, else nothing.
    void RefreshProgress(bool force = false);
    // Draws the progress lines a last time and leaves them on the screen: later output goes
    // below them.
    void KeepProgress();
    // One port's progress line at `now`, `width` visible characters at most; with colours the
    // caption carries its state's ANSI colours.
    std::string ProgressLine(int port, SteadyTime now, size_t width, bool colours);
    // Writes text on the status stream, above the progress lines.
    void PrintStatus(std::string_view text);

  private:
    struct Combo {
        std::vector<std::string> strings;
        int nSelection = -1;
    };
    // Rate and time-left bookkeeping of one port.
    struct PortPace {
        bool bMeasuring = false;
        std::optional<SteadyTime> endTime;  // the job ended (finished or failed)
        SteadyTime sampleTime{};
        uint64_t qwSampleBytes = 0;
        double dRate = 0;  // bytes per second over the last samples
    };

    void PrintMainLog(std::string_view text);
    void WriteLog(const std::string& text);
    void EraseProgress();
    void DrawProgress(SteadyTime now);
    std::string PaceText(int port, SteadyTime now);
    void PrintPlainProgress(SteadyTime now);

    TerminalStreams m_streams;
    std::map<int, bool> m_enabled;
    std::map<int, bool> m_shown;
    std::map<int, bool> m_checks;
    std::map<int, std::string> m_texts;
    std::map<int, Color> m_bkColors;
    std::map<int, int> m_positions;
    std::map<int, Combo> m_combos;
    std::optional<std::string> m_nextChosenFile;
    std::function<void(std::string_view)> m_mainLogCopy;
    std::function<PortTraffic(int)> m_trafficSource;
    std::function<std::string()> m_jobLineSource;
    std::array<PortPace, kPortCount> m_pace{};
    bool m_bClosed = false;

    // The log's last line on the terminal has no line end yet: the picture starts below it.
    bool m_bLogLineOpen = false;
    bool m_bProgressDrawn = false;
    bool m_bProgressDirty = true;
    std::optional<SteadyTime> m_lastDrawTime;
    size_t m_nDrawnLines = 0;
};

}  // namespace varnel
