#include "app/job_loop.h"

#include <filesystem>

#include "images/format_entry.h"
#include "images/utf8_path.h"

namespace varnel {

namespace {

constexpr int kStatusFailed = 1;
constexpr int kStatusFewerHandsets = 3;

}  // namespace

std::string NumberedPath(const std::string& path, int job) {
    std::filesystem::path numbered = Utf8Path(path);
    const std::string extension = Utf8Text(numbered.extension());
    numbered.replace_filename(
        Utf8Path(Utf8Text(numbered.stem()) + FormatEntry("-%04d", job) + extension));
    return Utf8Text(numbered);
}

std::string JobFolderName(int job) {
    return FormatEntry("job-%04d", job);
}

void JobLoopTally::Add(int finished, int failed, int exitStatus) {
    ++m_nJobs;
    m_nFinished += finished;
    m_nFailed += failed;
    m_nLastFinished = finished;
    m_nLastFailed = failed;
    m_bAnyFailed = m_bAnyFailed || exitStatus == kStatusFailed;
    m_bAnyFewer = m_bAnyFewer || exitStatus == kStatusFewerHandsets;
}

std::string JobLoopTally::JobLine() const {
    return FormatEntry("[Job %d] %d finished, %d failed", m_nJobs, m_nLastFinished, m_nLastFailed);
}

std::string JobLoopTally::FinalLine() const {
    return FormatEntry("[Loop] %d job%s, %d finished, %d failed", m_nJobs, m_nJobs == 1 ? "" : "s",
                       m_nFinished, m_nFailed);
}

int JobLoopTally::ExitStatus() const {
    if (m_bAnyFailed) {
        return kStatusFailed;
    }
    return m_bAnyFewer ? kStatusFewerHandsets : 0;
}

}  // namespace varnel
