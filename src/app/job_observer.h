// Follows a job as it runs, for what keeps or passes on its record beyond the report file (the
// bench's history, the line's broker). Called on the program's own thread, never from a port
// worker, so an observer needs no lock of its own against the job.
#pragma once

#include "app/job_events.h"
#include "app/job_report.h"

namespace varnel {

class JobObserver {
  public:
    virtual ~JobObserver() = default;

    // The images and options are chosen and Detect is pressed: `report` has the title, version,
    // job number, start time, images and options; no ports yet.
    virtual void JobStarted(const JobReport& report) = 0;
    // A port's state, status code, percentage or text changed since the last call for it.
    virtual void PortChanged(int port, const PortSnapshot& now) = 0;
    // A port finished or failed; `port` is its whole record, as the report will carry it.
    virtual void PortEnded(const JobReport& report, const ReportPort& port) = 0;
    // The job is over and `report` is whole (every attached port, the result, the exit status).
    // Also called for a job that ended on bad input, which had no JobStarted.
    virtual void JobEnded(const JobReport& report) = 0;
};

}  // namespace varnel
