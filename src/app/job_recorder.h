// The record of a bench job as it runs, made from the window's state: the report's images and
// ports, and the calls of the job's observers (the history, the line's broker) when it starts,
// when a port changes or ends, and when it ends. Every front end records its jobs through it, on
// its window thread.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/job_events.h"
#include "app/job_observer.h"
#include "app/job_report.h"
#include "engine/download_job.h"

namespace varnel {

class BenchApplication;
class DialogView;

// "EBoot", "PDA", ... as the report names an image kind (0-7).
const char* ReportImageKind(int imageKind);

// An image as the report lists it; `whole` adds its ByteSum32 and SHA-256, which read the whole
// file.
ReportImage DescribeImage(const char* kind, const std::string& path, const ImageSpan& span,
                          bool whole);

class JobRecorder {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    // `percent`: where a port's bar stands, 0-100.
    JobRecorder(BenchApplication& app, DialogView& view, std::function<int(int port)> percent);

    // Each observer is called in the order added; it outlives the recorder's calls.
    void AddObserver(JobObserver& observer) { m_observers.push_back(&observer); }
    bool Observed() const { return !m_observers.empty(); }
    // Adds to a port's record what the bench knows besides the window (a simulated handset's own
    // record of what it flashed).
    void SetPortDetails(std::function<void(ReportPort&)> details) {
        m_portDetails = std::move(details);
    }

    JobReport& Report() { return m_report; }
    const std::optional<SteadyTime>& DownloadStart() const { return m_jobStart; }

    // A fresh record for job number `job`, started now, with the bench's title, version and
    // expected ports kept.
    void NextJob(int job);
    // Detect is pressed with the images and options chosen.
    void Started(nlohmann::json options);
    // Notes the moment the first port began downloading; true when that is now.
    bool NoteDownloadStart();
    // Each port's picture to `each`, when given, and to the observers when it changed since
    // they last had it.
    void ObservePorts(const std::function<void(int port, const PortSnapshot&)>& each = {});
    // Ports that finished or failed since the last call: their end is timed and observed.
    void NotePortEnds();
    // The option word, `options` and every attached port's record into the report.
    void CollectPorts(nlohmann::json options);
    // The report is whole.
    void Ended();

    // The port's record as it stands at `now`.
    ReportPort PortRecordOf(int port, SteadyTime now);

  private:
    BenchApplication& m_app;
    DialogView& m_view;
    const std::function<int(int)> m_percent;
    std::function<void(ReportPort&)> m_portDetails;
    std::vector<JobObserver*> m_observers;
    JobReport m_report;
    std::optional<SteadyTime> m_jobStart;
    std::array<std::optional<SteadyTime>, kPortCount> m_portEnd;
    std::array<std::optional<PortSnapshot>, kPortCount> m_lastSnapshot;
};

}  // namespace varnel
