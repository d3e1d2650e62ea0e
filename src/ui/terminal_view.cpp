#include "ui/terminal_view.h"

#include <algorithm>
#include <cctype>

#include "images/format_entry.h"
#include "ui/control_ids.h"

namespace varnel {
namespace {

constexpr int kDefaultColumns = 80;
constexpr size_t kCaptionWidth = 8;
constexpr int kBarWidth = 12;
constexpr size_t kLongestAnswer = 64;
constexpr auto kRateWindow = std::chrono::seconds(1);
// How wide a plain progress line may be: a log file has no edge.
constexpr size_t kPlainWidth = 160;

// ANSI colours of a caption's background, with a text colour that reads on it.
const char* CaptionColours(Color background) {
    switch (background) {
        case kColorCleared:
            return "\x1b[30;43m";
        case kColorAttached:
            return "\x1b[30;42m";
        case kColorFinished:
            return "\x1b[97;44m";
        case kColorFailed:
            return "\x1b[97;41m";
        default:
            return nullptr;
    }
}
constexpr char kColoursOff[] = "\x1b[0m";

int PortOfProgress(int id) {
    const int port = id - IDC_PROGRESS_PORT0;
    return port >= 0 && port < kPortCount ? port : -1;
}

int PortOfCaption(int id) {
    const auto found = std::find(kPortCaptionIds.begin(), kPortCaptionIds.end(), id);
    return found == kPortCaptionIds.end() ? -1 : static_cast<int>(found - kPortCaptionIds.begin());
}

std::string Minutes(double seconds) {
    const auto whole = static_cast<long>(seconds + 0.5);
    return FormatEntry("%ld:%02ld", whole / 60, whole % 60);
}

}  // namespace

std::string ToPlatformLineEnds(std::string_view text) {
    std::string converted;
    converted.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') {
            continue;
        }
        converted += text[at];
    }
    return converted;
}

TerminalView::TerminalView(TerminalStreams streams) : m_streams(std::move(streams)) {}

void TerminalView::EnableControl(int id, bool enable) {
    m_enabled[id] = enable;
}

bool TerminalView::IsControlEnabled(int id) {
    const auto found = m_enabled.find(id);
    return found == m_enabled.end() || found->second;
}

void TerminalView::ShowControl(int id, bool show) {
    m_shown[id] = show;
}

bool TerminalView::IsControlShown(int id) const {
    const auto found = m_shown.find(id);
    return found == m_shown.end() || found->second;
}

void TerminalView::SetText(int id, std::string_view text) {
    std::string& current = m_texts[id];
    if (id == IDC_MAIN_LOG) {
        // The whole log is set when the record is written to the controls: only what the
        // screen has not shown yet is printed. A log that was emptied starts over.
        if (text.substr(0, current.size()) == current) {
            PrintMainLog(text.substr(current.size()));
        } else {
            PrintMainLog(text);
        }
    }
    if (PortOfProgress(id) >= 0 || PortOfCaption(id) >= 0) {
        m_bProgressDirty = m_bProgressDirty || current != text;
    }
    current = text;
}

std::string TerminalView::GetText(int id) {
    return m_texts[id];
}

void TerminalView::AppendText(int id, std::string_view text) {
    m_texts[id] += text;
    if (id == IDC_MAIN_LOG) {
        PrintMainLog(text);
    }
}

void TerminalView::SetCheck(int id, bool checked) {
    m_checks[id] = checked;
}

bool TerminalView::GetCheck(int id) {
    return m_checks[id];
}

void TerminalView::SetTextColor(int, Color) {}

void TerminalView::SetBkColor(int id, Color color) {
    m_bkColors[id] = color;
    const int port = PortOfCaption(id);
    if (port < 0) {
        return;
    }
    m_bProgressDirty = true;
    PortPace& pace = m_pace[port];
    if (color == kColorFinished || color == kColorFailed) {
        pace.endTime = std::chrono::steady_clock::now();
    } else {
        pace = PortPace{};
    }
}

void TerminalView::SetProgressRange(int, int, int) {}

void TerminalView::SetProgressPos(int id, int position) {
    int& current = m_positions[id];
    m_bProgressDirty = m_bProgressDirty || current != position;
    current = position;
}

void TerminalView::ShowProgressText(int, bool) {}

void TerminalView::ResetComboBox(int id) {
    m_combos[id] = Combo{};
}

void TerminalView::AddComboString(int id, std::string_view text) {
    m_combos[id].strings.emplace_back(text);
}

void TerminalView::SetComboSelection(int id, int index) {
    Combo& combo = m_combos[id];
    combo.nSelection = index >= 0 && index < static_cast<int>(combo.strings.size()) ? index : -1;
}

int TerminalView::GetComboSelection(int id) {
    return m_combos[id].nSelection;
}

int TerminalView::GetComboCount(int id) {
    return static_cast<int>(m_combos[id].strings.size());
}

MessageResult TerminalView::MessageBox(std::string_view text, std::string_view caption, MessageIcon,
                                       MessageButtons buttons) {
    const std::string body = ToPlatformLineEnds(text);
    std::string message = std::string(caption) + ":";
    if (body.empty() || body.front() != '\n') {
        message += ' ';
    }
    message += body;
    if (buttons == MessageButtons::kOk) {
        PrintStatus(message + "\n");
        return MessageResult::kOk;
    }
    if (!m_streams.bInteractive) {
        PrintStatus(message + " OK\n");
        return MessageResult::kOk;
    }
    // The capital choice is what Return alone answers.
    const bool defaultCancel = buttons == MessageButtons::kOkCancelDefaultCancel;
    PrintStatus(message + (defaultCancel ? " [ok/CANCEL] " : " [OK/cancel] "));
    char answer[kLongestAnswer] = {};
    // No answer (end of input, or an interrupt while waiting) is taken as OK.
    if (std::fgets(answer, sizeof answer, m_streams.answers) == nullptr) {
        PrintStatus("\n");
        return MessageResult::kOk;
    }
    const char* first = answer;
    while (*first != '\0' && std::isspace(static_cast<unsigned char>(*first))) {
        ++first;
    }
    const char choice = static_cast<char>(std::tolower(static_cast<unsigned char>(*first)));
    if (defaultCancel) {
        return choice == 'o' || choice == 'y' ? MessageResult::kOk : MessageResult::kCancel;
    }
    return choice == 'c' || choice == 'n' ? MessageResult::kCancel : MessageResult::kOk;
}

std::optional<std::string> TerminalView::ChooseFile(std::string_view) {
    std::optional<std::string> chosen = std::move(m_nextChosenFile);
    m_nextChosenFile.reset();
    return chosen;
}

void TerminalView::ShowLogWindow(const LogWindowData& log) {
    const std::string text = log.strTitle + "\r\n" + log.strLog;
    WriteLog(ToPlatformLineEnds(m_streams.logText ? m_streams.logText(text) : text));
}

void TerminalView::PrintMainLog(std::string_view text) {
    if (text.empty()) {
        return;
    }
    const std::string converted =
        ToPlatformLineEnds(m_streams.logText ? m_streams.logText(text) : std::string(text));
    WriteLog(converted);
    if (m_mainLogCopy) {
        m_mainLogCopy(converted);
    }
}

int TerminalView::GetProgressPos(int id) const {
    const auto found = m_positions.find(id);
    return found == m_positions.end() ? 0 : found->second;
}

void TerminalView::WriteLog(const std::string& text) {
    if (text.empty()) {
        return;
    }
    if (m_streams.bLogOnTerminal) {
        EraseProgress();
    }
    std::fwrite(text.data(), 1, text.size(), m_streams.log);
    std::fflush(m_streams.log);
    m_bLogLineOpen = text.back() != '\n';
}

void TerminalView::PrintStatus(std::string_view text) {
    EraseProgress();
    std::fwrite(text.data(), 1, text.size(), m_streams.status);
    std::fflush(m_streams.status);
}

void TerminalView::EraseProgress() {
    if (!m_bProgressDrawn) {
        return;
    }
    // Back to the first progress line, then clear to the end of the screen.
    std::fprintf(m_streams.status, "\r\x1b[%zuA\x1b[J", m_nDrawnLines);
    std::fflush(m_streams.status);
    m_bProgressDrawn = false;
    m_bProgressDirty = true;
}

void TerminalView::RefreshProgress(bool force) {
    const SteadyTime now = std::chrono::steady_clock::now();
    if (!m_streams.bLiveProgress) {
        if (m_streams.bPlainProgress &&
            (force || !m_lastDrawTime || now - *m_lastDrawTime >= kPlainInterval)) {
            PrintPlainProgress(now);
        }
        return;
    }
    if (!force) {
        if (m_lastDrawTime && now - *m_lastDrawTime < kRedrawInterval) {
            return;
        }
        // The rate and the time left move while bytes flow, even when the bar does not.
        const bool moving = std::any_of(m_pace.begin(), m_pace.end(), [](const PortPace& pace) {
            return pace.bMeasuring && !pace.endTime;
        });
        if (!m_bProgressDirty && !moving && m_bProgressDrawn) {
            return;
        }
    }
    DrawProgress(now);
}

void TerminalView::KeepProgress() {
    if (m_streams.bLiveProgress) {
        DrawProgress(std::chrono::steady_clock::now());
        m_bProgressDrawn = false;
    }
}

void TerminalView::DrawProgress(SteadyTime now) {
    const int columns = m_streams.columns ? m_streams.columns() : kDefaultColumns;
    // One character less than the width, so no line wraps and the cursor arithmetic holds.
    const size_t width = static_cast<size_t>(std::max(columns, 2) - 1);
    std::string picture;
    if (m_bProgressDrawn) {
        picture = FormatEntry("\r\x1b[%zuA", m_nDrawnLines);
    } else if (m_bLogLineOpen && m_streams.bLogOnTerminal) {
        picture = "\n";
        m_bLogLineOpen = false;
    }
    for (int port = 0; port < kPortCount; ++port) {
        picture += "\x1b[2K" + ProgressLine(port, now, width, m_streams.bColours) + "\n";
    }
    m_nDrawnLines = kPortCount;
    if (m_jobLineSource) {
        picture += "\x1b[2K" + m_jobLineSource().substr(0, width) + "\n";
        ++m_nDrawnLines;
    }
    std::fwrite(picture.data(), 1, picture.size(), m_streams.status);
    std::fflush(m_streams.status);
    m_bProgressDrawn = true;
    m_bProgressDirty = false;
    m_lastDrawTime = now;
}

void TerminalView::PrintPlainProgress(SteadyTime now) {
    std::string lines;
    for (int port = 0; port < kPortCount; ++port) {
        // Only ports under way: an idle port has no traffic, an ended one said so in the log.
        const bool underWay =
            m_trafficSource && m_trafficSource(port).jobStart && !m_pace[port].endTime;
        if (underWay) {
            lines += "progress " + ProgressLine(port, now, kPlainWidth, false) + "\n";
        }
    }
    if (lines.empty()) {
        return;
    }
    if (m_jobLineSource) {
        lines += "progress " + m_jobLineSource() + "\n";
    }
    std::fwrite(lines.data(), 1, lines.size(), m_streams.status);
    std::fflush(m_streams.status);
    m_lastDrawTime = now;
}

std::string TerminalView::ProgressLine(int port, SteadyTime now, size_t width, bool colours) {
    std::string caption = m_texts[kPortCaptionIds[port]];
    caption.resize(std::max(caption.size(), kCaptionWidth), ' ');
    caption = caption.substr(0, std::min(caption.size(), width));

    const int position = std::clamp(m_positions[ProgressId(port)], 0, 100);
    const int filled = position * kBarWidth / 100;
    const std::string& status = m_texts[ProgressId(port)];
    std::string rest = " [" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), '-') + "] " +
                       (status.empty() ? FormatEntry("%d%%", position) : status);
    const std::string pace = PaceText(port, now);
    if (!pace.empty()) {
        rest += "  " + pace;
    }
    rest = rest.substr(0, width - caption.size());

    const char* captionColours =
        colours ? CaptionColours(m_bkColors[kPortCaptionIds[port]]) : nullptr;
    if (captionColours == nullptr) {
        return caption + rest;
    }
    return captionColours + caption + kColoursOff + rest;
}

std::string TerminalView::PaceText(int port, SteadyTime now) {
    // The pace is measured between drawings: without them there is none to show.
    if (!m_trafficSource || !(m_streams.bLiveProgress || m_streams.bPlainProgress)) {
        return {};
    }
    const PortTraffic traffic = m_trafficSource(port);
    PortPace& pace = m_pace[port];
    if (!traffic.jobStart) {
        return {};
    }
    const auto seconds = [](auto duration) {
        return std::chrono::duration<double>(duration).count();
    };
    if (pace.endTime) {
        return "in " + Minutes(seconds(*pace.endTime - *traffic.jobStart));
    }
    if (!pace.bMeasuring) {
        pace.bMeasuring = true;
        pace.sampleTime = now;
        pace.qwSampleBytes = traffic.qwBytesSent;
    }
    if (now - pace.sampleTime >= kRateWindow) {
        pace.dRate = static_cast<double>(traffic.qwBytesSent - pace.qwSampleBytes) /
                     seconds(now - pace.sampleTime);
        pace.sampleTime = now;
        pace.qwSampleBytes = traffic.qwBytesSent;
    }
    // A rate and a time left only while bytes move: during a wait (a handset writing its flash,
    // a reattach) the status text tells the state, and a pace from before would mislead.
    if (pace.dRate <= 0) {
        return {};
    }
    std::string text = FormatEntry("%.1f MB/s", pace.dRate / (1 << 20));
    if (traffic.qwBytesExpected > traffic.qwBytesSent) {
        text +=
            " ETA " + Minutes(static_cast<double>(traffic.qwBytesExpected - traffic.qwBytesSent) /
                              pace.dRate);
    }
    return text;
}

}  // namespace varnel
