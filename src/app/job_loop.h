// A bench that keeps flashing batch after batch (--loop): each job's outputs under its own
// number, a line per job and the tally when the loop ends.
#pragma once

#include <string>

namespace varnel {

// `path` with the job's number before its extension: "out/report.json" and 3 give
// "out/report-0003.json"; a name without an extension gets the number at its end.
std::string NumberedPath(const std::string& path, int job);

// "job-0003": the folder of a job's port logs inside the port-log folder.
std::string JobFolderName(int job);

class JobLoopTally {
  public:
    // One job's outcome: its ports and the exit status it would have had on its own.
    void Add(int finished, int failed, int exitStatus);

    int Jobs() const { return m_nJobs; }
    // "[Job 3] 8 finished, 0 failed"
    std::string JobLine() const;
    // "[Loop] 3 jobs, 24 finished, 1 failed"
    std::string FinalLine() const;
    // 1 when a job had a failed port or lost its record, else 3 when a job started with fewer
    // handsets than asked, else 0. A loop that a signal ended mid-job exits 128 + N instead.
    int ExitStatus() const;

  private:
    int m_nJobs = 0;
    int m_nFinished = 0;
    int m_nFailed = 0;
    int m_nLastFinished = 0;
    int m_nLastFailed = 0;
    bool m_bAnyFailed = false;
    bool m_bAnyFewer = false;
};

}  // namespace varnel
