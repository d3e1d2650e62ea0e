#include "app/line_telemetry.h"

#include <chrono>

#include "app/job_report.h"
#include "app/log_text.h"

namespace varnel {

namespace {

const char* PortStateName(int state) {
    switch (state) {
        case kPortAttached:
            return "attached";
        case kPortDownloading:
            return "downloading";
        case kPortFinished:
            return "finished";
        case kPortFailed:
            return "failed";
        default:
            return "idle";
    }
}

std::string Now() {
    return IsoTime(std::chrono::system_clock::now());
}

}  // namespace

std::string TopicLevel(std::string_view name) {
    std::string level;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        level += (c == '+' || c == '#' || c == '/' || byte < 0x20 || byte == 0x7f) ? '_' : c;
    }
    return level.empty() ? "_" : level;
}

std::string BenchTopic(const std::string& line, const std::string& bench) {
    return "varnel/" + TopicLevel(LogTextToUtf8(line)) + "/" + TopicLevel(LogTextToUtf8(bench));
}

std::string PresencePayload(const std::string& line, const std::string& bench, bool online) {
    return nlohmann::json{{"schema_version", kLineSchemaVersion},
                          {"line", line},
                          {"bench", bench},
                          {"online", online},
                          {"time", Now()}}
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

LineTelemetry::LineTelemetry(TelemetryOutbox& outbox, std::string line, std::string bench)
    : m_outbox(outbox),
      m_strLine(LogTextToUtf8(line)),
      m_strBench(LogTextToUtf8(bench)),
      m_strTopic(BenchTopic(line, bench)),
      m_strRun(RandomId()) {}

nlohmann::json LineTelemetry::Header() {
    return {{"schema_version", kLineSchemaVersion},
            {"run", m_strRun},
            {"seq", ++m_nSeq},
            {"line", m_strLine},
            {"bench", m_strBench},
            {"job", m_nJob},
            {"time", Now()}};
}

void LineTelemetry::Enqueue(const std::string& topic, nlohmann::json payload, bool retain) {
    m_outbox.Enqueue(topic, payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                     retain);
}

void LineTelemetry::EnqueueState() {
    nlohmann::json ports = nlohmann::json::array();
    for (size_t index = 0; index < m_ports.size(); ++index) {
        if (!m_ports[index]) {
            continue;
        }
        const PortState& port = *m_ports[index];
        ports.push_back({{"port", index},
                         {"device", port.shown.strDevice},
                         {"state", port.strEnd ? *port.strEnd : PortStateName(port.shown.nState)},
                         {"status_code", port.shown.dwStatusCode},
                         {"percent", port.shown.nPercent},
                         {"text", port.shown.strText}});
    }
    nlohmann::json state = Header();
    state.update({{"job_state", m_strJobState},
                  {"result", m_strResult ? nlohmann::json(*m_strResult) : nullptr},
                  {"images", m_images},
                  {"ports", ports}});
    Enqueue(m_strTopic + "/state", std::move(state), true);
}

void LineTelemetry::JobStarted(const JobReport& report) {
    m_nJob = report.nJob;
    m_strJobState = "running";
    m_strResult.reset();
    m_ports = {};
    m_images = ReportJson(report)["images"];
    EnqueueState();
}

void LineTelemetry::PortChanged(int port, const PortSnapshot& now) {
    if (port < 0 || port >= kPortCount) {
        return;
    }
    std::optional<PortState>& known = m_ports[static_cast<size_t>(port)];
    const bool stateChanged = !known || known->shown.nState != now.nState ||
                              known->shown.dwStatusCode != now.dwStatusCode;
    if (!known) {
        known.emplace();
    }
    known->shown = now;
    nlohmann::json event = Header();
    event.update({{"event", "status"},
                  {"port", port},
                  {"device", now.strDevice},
                  {"state", PortStateName(now.nState)},
                  {"status_code", now.dwStatusCode},
                  {"percent", now.nPercent},
                  {"text", now.strText}});
    Enqueue(m_strTopic + "/port/" + std::to_string(port) + "/event", std::move(event), false);
    // The retained state follows each port's state and status code; the percentage moves on in
    // the events alone.
    if (stateChanged) {
        EnqueueState();
    }
}

void LineTelemetry::PortEnded(const JobReport&, const ReportPort& port) {
    if (port.nPort < 0 || port.nPort >= kPortCount) {
        return;
    }
    std::optional<PortState>& known = m_ports[static_cast<size_t>(port.nPort)];
    if (!known) {
        known.emplace();
        known->shown.strDevice = port.strDevice;
    }
    known->strEnd = port.strState;
    known->shown.dwStatusCode = port.dwStatusCode;
    known->shown.strText = LogTextToUtf8(port.strStatusText);
    nlohmann::json event = Header();
    event.update({{"event", "end"},
                  {"port", port.nPort},
                  {"device", LogTextToUtf8(port.strDevice)},
                  {"serial", LogTextToUtf8(port.strSerial)},
                  {"port_path", LogTextToUtf8(port.strPortPath)},
                  {"state", port.strState},
                  {"status_code", port.dwStatusCode},
                  {"text", known->shown.strText},
                  {"seconds", port.dSeconds}});
    Enqueue(m_strTopic + "/port/" + std::to_string(port.nPort) + "/event", std::move(event), false);
    EnqueueState();
}

void LineTelemetry::JobEnded(const JobReport& report) {
    m_nJob = report.nJob;
    m_strJobState = "ended";
    m_strResult = report.strResult;
    if (!report.images.empty()) {
        m_images = ReportJson(report)["images"];
    }
    Enqueue(m_strTopic + "/job", ReportJson(report), false);
    EnqueueState();
}

}  // namespace varnel
