#include "app/history/history_schema.h"

#include <filesystem>
#include <iterator>
#include <system_error>

namespace varnel {

namespace {

// How long a writer waits for another process (another bench program, a query) to let go.
constexpr int kBusyTimeoutMs = 5000;

// Migration N brings a file from version N to N + 1. Never change one that has shipped: add one.
constexpr const char* kMigrations[] = {
    // 0 -> 1: jobs, their images and their ports.
    R"(CREATE TABLE jobs(
           id INTEGER PRIMARY KEY,
           job_id TEXT NOT NULL UNIQUE,
           bench TEXT NOT NULL,
           job_number INTEGER NOT NULL,
           title TEXT NOT NULL,
           version TEXT NOT NULL,
           started TEXT NOT NULL,
           ended TEXT,
           result TEXT,
           exit_status INTEGER,
           options TEXT NOT NULL,
           option_word INTEGER NOT NULL);
       CREATE TABLE images(
           job INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
           kind TEXT NOT NULL,
           path TEXT NOT NULL,
           size INTEGER NOT NULL,
           sha256 TEXT NOT NULL,
           byte_sum INTEGER NOT NULL);
       CREATE TABLE ports(
           job INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
           port INTEGER NOT NULL,
           device TEXT NOT NULL,
           serial TEXT NOT NULL,
           port_path TEXT NOT NULL,
           outcome TEXT NOT NULL,
           status_code INTEGER NOT NULL,
           status_text TEXT NOT NULL,
           seconds REAL NOT NULL,
           PRIMARY KEY(job, port)) WITHOUT ROWID;
       CREATE INDEX images_of_job ON images(job);)",
    // 1 -> 2: the bytes each port wrote, the outbox of the line's broker (each bench program
    // sharing the file publishes only its own messages), and the indexes the
    // queries of a long history need; each port carries its job's day (UTC) so that the yield
    // per day is counted without a join.
    R"(ALTER TABLE ports ADD COLUMN bytes_written INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE ports ADD COLUMN day TEXT NOT NULL DEFAULT '';
       UPDATE ports SET day = coalesce(
           (SELECT substr(started, 1, 10) FROM jobs WHERE jobs.id = ports.job), '');
       CREATE TABLE outbox(
           id INTEGER PRIMARY KEY AUTOINCREMENT,
           bench TEXT NOT NULL,
           topic TEXT NOT NULL,
           payload TEXT NOT NULL,
           retain INTEGER NOT NULL);
       CREATE INDEX outbox_of_bench ON outbox(bench, id);
       CREATE INDEX jobs_started ON jobs(started);
       CREATE INDEX ports_serial ON ports(serial);
       CREATE INDEX ports_days ON ports(day, outcome);
       CREATE INDEX ports_outcomes ON ports(port, outcome);
       CREATE INDEX ports_failures ON ports(outcome, status_code, status_text);
       CREATE INDEX images_sha256 ON images(sha256);)",
};
static_assert(std::size(kMigrations) == kHistorySchemaVersion);

int UserVersion(const SqliteDatabase& db) {
    SqliteStatement query(db, "PRAGMA user_version");
    if (!query.Step()) {
        throw SqliteError("the file has no schema version");
    }
    return static_cast<int>(query.Integer(0));
}

}  // namespace

std::unique_ptr<SqliteDatabase> OpenHistoryDatabase(const std::string& path, bool create) {
    if (create) {
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        std::error_code code;
        if (!folder.empty() && !std::filesystem::create_directories(folder, code) && code) {
            throw SqliteError("cannot make the folder '" + folder.string() +
                              "': " + code.message());
        }
    }
    auto db = std::make_unique<SqliteDatabase>(path, create);
    db->Execute("PRAGMA busy_timeout = " + std::to_string(kBusyTimeoutMs));
    db->Execute("PRAGMA journal_mode = WAL");
    // Commits go to the log without waiting for the disk: a program that dies loses nothing
    // committed (a power cut at most the last steps), and the thread that records, which the
    // port workers report to, never stalls on a flush.
    db->Execute("PRAGMA synchronous = NORMAL");
    db->Execute("PRAGMA foreign_keys = ON");
    SqliteTransaction transaction(*db);
    const int version = UserVersion(*db);
    if (version < 0 || version > kHistorySchemaVersion) {
        throw SqliteError("the file has schema version " + std::to_string(version) +
                          ", newer than this program's " + std::to_string(kHistorySchemaVersion));
    }
    for (int step = version; step < kHistorySchemaVersion; ++step) {
        db->Execute(kMigrations[step]);
    }
    if (version != kHistorySchemaVersion) {
        db->Execute("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion));
    }
    transaction.Commit();
    return db;
}

}  // namespace varnel
