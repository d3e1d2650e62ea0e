// What a line's broker says of its benches, gathered from the messages under varnel/<line>/: each
// bench's presence, job and ports, its yield since the view began and the last failed ports.
// The messages come from anyone who may publish on the broker: whatever does not fit is passed by.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace varnel {

inline constexpr int kLineViewPorts = 8;

struct LinePort {
    std::string strDevice;
    std::string strState;  // "attached", "downloading", "finished", "failed"
    uint32_t dwStatusCode = 0;
    int nPercent = 0;
    std::string strText;
};

struct LineFailure {
    std::string strTime;
    std::string strBench;
    int nPort = 0;
    std::string strDevice;
    std::string strSerial;
    uint32_t dwStatusCode = 0;
    std::string strText;
};

struct LineBench {
    std::optional<bool> bOnline;
    int nJob = 0;
    std::string strJobState;
    std::string strResult;
    nlohmann::json images = nlohmann::json::array();
    std::array<std::optional<LinePort>, kLineViewPorts> ports;
    int nFinished = 0;  // ports ended since the view began
    int nFailed = 0;
};

class LineView {
  public:
    static constexpr size_t kFailuresKept = 10;

    explicit LineView(std::string line) : m_strLine(std::move(line)) {}

    // Takes one message under varnel/<line>/; whether the view changed.
    bool Apply(const std::string& topic, const std::string& payload);

    const std::map<std::string, LineBench>& Benches() const { return m_benches; }
    const std::deque<LineFailure>& Failures() const { return m_failures; }  // newest first

    nlohmann::json Json() const;
    // A table for a terminal `columns` wide.
    std::string Text(size_t columns) const;

  private:
    bool ApplyState(LineBench& bench, const nlohmann::json& state);
    bool ApplyPortEvent(const std::string& bench, int port, const nlohmann::json& event);

    std::string m_strLine;
    std::map<std::string, LineBench> m_benches;
    std::deque<LineFailure> m_failures;
    // The time of each port's last end: an end the broker delivers again after a lost
    // connection counts once.
    std::map<std::pair<std::string, int>, std::string> m_lastEnd;
};

}  // namespace varnel
