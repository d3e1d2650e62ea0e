// The job as a stream of events, one JSON object per line, for supervisors and dashboards:
// "attach" when a handset takes a port, "status" when its status code, percentage or text
// changes, "port_end" when it finishes or fails, "job_end" with the result. Each carries "event",
// "time" (UTC, ISO 8601) and "job" (the job's number in a --loop run, from 1).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/download_job.h"

namespace varnel {

// What a port shows at one moment.
struct PortSnapshot {
    int nState = kPortIdle;
    std::string strDevice;
    uint32_t dwStatusCode = 0;
    int nPercent = 0;
    std::string strText;  // in UTF-8
};

class JobEvents {
  public:
    JobEvents() = default;
    ~JobEvents();
    JobEvents(const JobEvents&) = delete;
    JobEvents& operator=(const JobEvents&) = delete;

    // "-" is standard output, anything else a file made afresh. False with a reason.
    bool Open(const std::string& target, std::string& error);
    // For tests and for streams the caller owns.
    void OpenStream(FILE* stream) { m_pFile = stream; }
    bool IsOpen() const { return m_pFile != nullptr; }
    // Whether every event so far was written whole.
    bool Written() const { return m_bWritten; }

    void SetJob(int job) { m_nJob = job; }
    // Emits what changed on the port since the last look; a port back to idle is forgotten, so
    // the next handset on it attaches anew.
    void Observe(int port, const PortSnapshot& now);
    void JobEnd(const std::string& result, int exitStatus, int finished, int failed, int attached);

  private:
    void Write(const char* event, nlohmann::json fields);

    FILE* m_pFile = nullptr;
    bool m_bOwned = false;
    bool m_bWritten = true;
    int m_nJob = 1;
    std::array<std::optional<PortSnapshot>, kPortCount> m_last;
};

}  // namespace varnel
