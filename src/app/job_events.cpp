#include "app/job_events.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "app/job_report.h"
#include "images/utf8_path.h"

namespace varnel {

JobEvents::~JobEvents() {
    if (m_bOwned && m_pFile != nullptr) {
        std::fclose(m_pFile);
    }
}

bool JobEvents::Open(const std::string& target, std::string& error) {
    if (target == "-") {
        m_pFile = stdout;
        return true;
    }
    m_pFile = OpenUtf8File(target, "w");
    if (m_pFile == nullptr) {
        error = "cannot write '" + target + "': " + std::strerror(errno);
        return false;
    }
    m_bOwned = true;
    return true;
}

void JobEvents::Write(const char* event, nlohmann::json fields) {
    if (m_pFile == nullptr) {
        return;
    }
    nlohmann::json line = {
        {"event", event}, {"time", IsoTime(std::chrono::system_clock::now())}, {"job", m_nJob}};
    line.update(fields);
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (std::fprintf(m_pFile, "%s\n", text.c_str()) < 0 || std::fflush(m_pFile) != 0) {
        m_bWritten = false;
    }
}

void JobEvents::Observe(int port, const PortSnapshot& now) {
    if (port < 0 || port >= kPortCount) {
        return;
    }
    std::optional<PortSnapshot>& last = m_last[static_cast<size_t>(port)];
    if (now.nState == kPortIdle) {
        last.reset();
        return;
    }
    if (!last) {
        Write("attach", {{"port", port}, {"device", now.strDevice}});
    }
    if (!last || last->dwStatusCode != now.dwStatusCode || last->nPercent != now.nPercent ||
        last->strText != now.strText) {
        Write("status", {{"port", port},
                         {"code", now.dwStatusCode},
                         {"percent", now.nPercent},
                         {"text", now.strText}});
    }
    const bool ended = now.nState == kPortFinished || now.nState == kPortFailed;
    const bool endedBefore = last && (last->nState == kPortFinished || last->nState == kPortFailed);
    if (ended && !endedBefore) {
        Write("port_end", {{"port", port},
                           {"device", now.strDevice},
                           {"state", now.nState == kPortFinished ? "finished" : "failed"},
                           {"code", now.dwStatusCode},
                           {"text", now.strText}});
    }
    last = now;
}

void JobEvents::JobEnd(const std::string& result, int exitStatus, int finished, int failed,
                       int attached) {
    Write("job_end", {{"result", result},
                      {"exit_status", exitStatus},
                      {"finished", finished},
                      {"failed", failed},
                      {"attached", attached}});
}

}  // namespace varnel
