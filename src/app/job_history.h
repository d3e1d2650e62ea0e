// The bench's own record of its jobs: every job and every port, in a database file on the bench,
// written as the job runs. It also keeps the messages for the line's broker until they are taken.
#pragma once

#include <memory>
#include <string>

#include "app/job_observer.h"
#include "app/telemetry_outbox.h"

namespace varnel {

class JobHistory : public JobObserver {
  public:
    // Messages for the line's broker, kept in the same file so they outlive a restart.
    virtual TelemetryOutbox& Outbox() = 0;
    // Why a job was not recorded whole; empty while every write went through. A history that
    // failed once records nothing more, and says so once.
    virtual std::string Failure() const = 0;
};

// Whether this build records a history (it needs SQLite).
bool JobHistoryBuilt();

// $XDG_DATA_HOME/varnel/history.sqlite3, or under ~/.local/share when that is unset; empty
// when neither names a folder.
std::string DefaultHistoryPath();

// Opens the history at `path` for the bench named `bench`, creating it and its folder or
// bringing an older file up to date. Null, with the reason, when it cannot be.
std::unique_ptr<JobHistory> OpenJobHistory(const std::string& path, const std::string& bench,
                                           std::string& error);

// What a listing of the history asks for: the newest jobs first, or their ports, filtered.
struct HistoryQuery {
    std::string path = DefaultHistoryPath();
    std::string since;
    std::string serial;
    std::string outcome;
    std::string imageSha256;
    std::string jobId;  // one job, by the id the history gave it
    int limit = 50;
    bool json = false;
    bool csv = false;
    bool ports = false;
    bool stats = false;
};

// The jobs (or with `ports` their ports) as `varnel-cli history --json` lists them: objects keyed
// by column. False with `error` when the file is not there or cannot be read.
bool ListHistory(const HistoryQuery& query, nlohmann::json& rows, std::string& error);

// `varnel-cli history ARGS` (argv[0] is "history"): lists the recorded jobs, their ports or
// their statistics; the exit status. `program` names the program in messages.
int RunHistoryCommand(const char* program, int argc, char** argv);

}  // namespace varnel
