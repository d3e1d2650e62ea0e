// The bench's live state for the line's broker: the job as MQTT messages on the outbox, under
// varnel/<line>/<bench>/ (docs/mqtt.md). Enqueuing is all it does; a publisher drains the outbox.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/job_observer.h"
#include "app/telemetry_outbox.h"

namespace varnel {

// The layout of the line's topics and payloads; raised whenever a key is renamed or removed.
inline constexpr int kLineSchemaVersion = 1;

// A bench or line name as one topic level: the wildcards '+' and '#', the separator '/' and
// control characters become '_'; an empty name becomes "_".
std::string TopicLevel(std::string_view name);

// "varnel/<line>/<bench>", each name made a topic level.
std::string BenchTopic(const std::string& line, const std::string& bench);

// The retained marker at <bench topic>/presence: online when the bench connects, offline when it
// leaves or (as the connection's last will) when the broker loses it.
std::string PresencePayload(const std::string& line, const std::string& bench, bool online);

class LineTelemetry : public JobObserver {
  public:
    LineTelemetry(TelemetryOutbox& outbox, std::string line, std::string bench);

    const std::string& Topic() const { return m_strTopic; }

    void JobStarted(const JobReport& report) override;
    void PortChanged(int port, const PortSnapshot& now) override;
    void PortEnded(const JobReport& report, const ReportPort& port) override;
    void JobEnded(const JobReport& report) override;

  private:
    struct PortState {
        PortSnapshot shown;
        std::optional<std::string> strEnd;  // "finished" or "failed" once the port ended
    };
    void Enqueue(const std::string& topic, nlohmann::json payload, bool retain);
    void EnqueueState();
    nlohmann::json Header();

    TelemetryOutbox& m_outbox;
    std::string m_strLine;
    std::string m_strBench;
    std::string m_strTopic;
    std::string m_strRun;  // this run of the program: seq counts from 1 again in the next
    int64_t m_nSeq = 0;
    int m_nJob = 0;
    std::string m_strJobState = "idle";  // "running", then "ended"
    nlohmann::json m_images = nlohmann::json::array();
    std::optional<std::string> m_strResult;
    std::array<std::optional<PortState>, kPortCount> m_ports;
};

}  // namespace varnel
