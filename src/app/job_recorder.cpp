#include "app/job_recorder.h"

#include <algorithm>
#include <iterator>

#include "app/bench_application.h"
#include "app/log_text.h"
#include "images/format_entry.h"
#include "images/image_file.h"
#include "images/sha256.h"
#include "ui/control_ids.h"

namespace varnel {

namespace {

constexpr const char* kReportImageKinds[kImageKindCount] = {
    "EBoot", "PDA", "CSC", "Telvik", "Phone", "SMD", "Integrated", "Contents"};

}  // namespace

const char* ReportImageKind(int imageKind) {
    return imageKind >= 0 && imageKind < kImageKindCount ? kReportImageKinds[imageKind] : "";
}

ReportImage DescribeImage(const char* kind, const std::string& path, const ImageSpan& span,
                          bool whole) {
    ReportImage described{kind, path, span.dwSize, 0, {}};
    if (!whole) {
        return described;
    }
    ImageFile file;
    if (file.Open(path)) {
        const FileDigests digests = FileByteSumAndSha256(file);
        described.dwByteSum = digests.dwByteSum;
        described.strSha256 = Sha256Hex(digests.sha256);
    }
    return described;
}

JobRecorder::JobRecorder(BenchApplication& app, DialogView& view,
                         std::function<int(int port)> percent)
    : m_app(app), m_view(view), m_percent(std::move(percent)) {}

void JobRecorder::NextJob(int job) {
    JobReport next;
    next.nJob = job;
    next.started = std::chrono::system_clock::now();
    next.nPortsExpected = m_report.nPortsExpected;
    next.strTitle = m_report.strTitle;
    next.strVersion = m_report.strVersion;
    next.strCommit = m_report.strCommit;
    m_report = std::move(next);
    m_jobStart.reset();
    m_portEnd = {};
    m_lastSnapshot = {};
}

void JobRecorder::Started(nlohmann::json options) {
    m_report.options = std::move(options);
    for (JobObserver* observer : m_observers) {
        observer->JobStarted(m_report);
    }
}

bool JobRecorder::NoteDownloadStart() {
    const BenchDialog& dlg = m_app.Dialog();
    if (m_jobStart ||
        std::none_of(std::begin(dlg.m_PortSlot), std::end(dlg.m_PortSlot),
                     [](const PortSlot& slot) { return slot.nState >= kPortDownloading; })) {
        return false;
    }
    m_jobStart = std::chrono::steady_clock::now();
    m_report.downloadStarted = std::chrono::system_clock::now();
    return true;
}

void JobRecorder::ObservePorts(const std::function<void(int, const PortSnapshot&)>& each) {
    const BenchDialog& dlg = m_app.Dialog();
    for (int port = 0; port < kPortCount; ++port) {
        PortSnapshot now{dlg.m_PortSlot[port].nState, dlg.m_strDeviceName[port],
                         dlg.LastStatusCode(port), m_percent(port),
                         LogTextToUtf8(m_view.GetText(ProgressId(port)))};
        if (each) {
            each(port, now);
        }
        std::optional<PortSnapshot>& last = m_lastSnapshot[static_cast<size_t>(port)];
        if (now.nState == kPortIdle) {
            last.reset();
            continue;
        }
        if (last && last->nState == now.nState && last->dwStatusCode == now.dwStatusCode &&
            last->nPercent == now.nPercent && last->strText == now.strText) {
            continue;
        }
        for (JobObserver* observer : m_observers) {
            observer->PortChanged(port, now);
        }
        last = std::move(now);
    }
}

void JobRecorder::NotePortEnds() {
    const auto now = std::chrono::steady_clock::now();
    for (int port = 0; port < kPortCount; ++port) {
        const int state = m_app.Dialog().m_PortSlot[port].nState;
        if ((state == kPortFinished || state == kPortFailed) && !m_portEnd[port]) {
            m_portEnd[port] = now;
            if (!m_observers.empty()) {
                const ReportPort record = PortRecordOf(port, now);
                for (JobObserver* observer : m_observers) {
                    observer->PortEnded(m_report, record);
                }
            }
        }
    }
}

void JobRecorder::CollectPorts(nlohmann::json options) {
    const BenchDialog& dlg = m_app.Dialog();
    const auto now = std::chrono::steady_clock::now();
    m_report.dwOptionFlags = dlg.m_dwOptionFlags;
    m_report.options = std::move(options);
    for (int port = 0; port < kPortCount; ++port) {
        if (dlg.m_PortSlot[port].nState != kPortIdle) {
            m_report.ports.push_back(PortRecordOf(port, now));
        }
    }
}

void JobRecorder::Ended() {
    for (JobObserver* observer : m_observers) {
        observer->JobEnded(m_report);
    }
}

ReportPort JobRecorder::PortRecordOf(int port, SteadyTime now) {
    const BenchDialog& dlg = m_app.Dialog();
    const int state = dlg.m_PortSlot[port].nState;
    ReportPort record;
    record.nPort = port;
    record.strDevice = dlg.m_strDeviceName[port];
    record.strSerial = dlg.m_DeviceIdentity[port].strSerial;
    record.strPortPath = dlg.m_DeviceIdentity[port].strPortPath;
    record.strState = state == kPortFinished ? "finished"
                      : state == kPortFailed ? "failed"
                                             : "stopped";
    if (record.strState == "stopped") {
        record.strStatusText = "Stopped: the job ended before this port's did";
    } else {
        record.dwStatusCode = dlg.LastStatusCode(port);
        record.strStatusText = m_view.GetText(ProgressId(port));
    }
    record.qwBytesSent = m_app.BytesSent(port);
    if (m_jobStart) {
        record.dSeconds =
            std::chrono::duration<double>(m_portEnd[port].value_or(now) - *m_jobStart).count();
    }
    record.strLog = dlg.PortRecord(port) + FormatEntry("[End:%d] %s, status %u: %s\r\n", port,
                                                       record.strState.c_str(), record.dwStatusCode,
                                                       record.strStatusText.c_str());
    if (m_portDetails) {
        m_portDetails(record);
    }
    return record;
}

}  // namespace varnel
