// The history recorder: one transaction when a job starts, one per port that ends and one when
// the job ends, so that a crash loses at most the step in flight. The broker's outbox shares the
// connection; a lock keeps the program's thread and the publisher's apart on it.
#include <cstdio>
#include <mutex>

#include "app/history/history_schema.h"
#include "app/job_history.h"
#include "app/log_text.h"

namespace varnel {

namespace {

// 128 random bits in hex: unique across benches without asking anyone.
std::string OptionsText(const JobReport& report) {
    return OptionsInUtf8(report.options).dump();
}

class SqliteJobHistory final : public JobHistory, private TelemetryOutbox {
  public:
    SqliteJobHistory(std::string path, std::string bench)
        : m_strPath(std::move(path)),
          m_strBench(std::move(bench)),
          m_pDb(OpenHistoryDatabase(m_strPath, true)) {}

    void JobStarted(const JobReport& report) override {
        Write([&] {
            SqliteTransaction transaction(*m_pDb);
            InsertJob(report);
            transaction.Commit();
        });
    }

    void PortChanged(int, const PortSnapshot&) override {}

    void PortEnded(const JobReport&, const ReportPort& port) override {
        Write([&] {
            if (!m_job) {
                return;
            }
            SqliteTransaction transaction(*m_pDb);
            WritePort(port);
            transaction.Commit();
        });
    }

    void JobEnded(const JobReport& report) override {
        Write([&] {
            SqliteTransaction transaction(*m_pDb);
            if (!m_job) {
                InsertJob(report);  // a job that ended on bad input never started
            }
            SqliteStatement end(*m_pDb,
                                "UPDATE jobs SET ended = ?, result = ?, exit_status = ?, "
                                "options = ?, option_word = ? WHERE id = ?");
            end.Bind(1, IsoTime(report.ended))
                .Bind(2, report.strResult)
                .Bind(3, int64_t{report.nExitStatus})
                .Bind(4, OptionsText(report))
                .Bind(5, int64_t{report.dwOptionFlags})
                .Bind(6, *m_job)
                .Run();
            for (const ReportPort& port : report.ports) {
                WritePort(port);
            }
            transaction.Commit();
            m_job.reset();
        });
    }

    TelemetryOutbox& Outbox() override { return *this; }

    std::string Failure() const override {
        std::lock_guard lock(m_mutex);
        return m_strFailure;
    }

  private:
    void Enqueue(const std::string& topic, const std::string& payload, bool retain) override {
        Write([&] {
            SqliteStatement(*m_pDb,
                            "INSERT INTO outbox(bench, topic, payload, retain) VALUES(?, ?, ?, ?)")
                .Bind(1, m_strBench)
                .Bind(2, topic)
                .Bind(3, payload)
                .Bind(4, int64_t{retain ? 1 : 0})
                .Run();
        });
    }

    std::vector<OutboxMessage> Pending(size_t limit) override {
        std::vector<OutboxMessage> pending;
        Write([&] {
            SqliteStatement query(*m_pDb,
                                  "SELECT id, topic, payload, retain FROM outbox WHERE bench = ? "
                                  "ORDER BY id LIMIT ?");
            query.Bind(1, m_strBench).Bind(2, static_cast<int64_t>(limit));
            while (query.Step()) {
                pending.push_back(
                    {query.Integer(0), query.Text(1), query.Text(2), query.Integer(3) != 0});
            }
        });
        return pending;
    }

    // A published message is of no more use: it goes, and the file stays small.
    void MarkPublished(int64_t id) override {
        Write(
            [&] { SqliteStatement(*m_pDb, "DELETE FROM outbox WHERE id = ?").Bind(1, id).Run(); });
    }

    // Runs one step under the lock; the first failure is kept and ends the recording.
    template <typename Step>
    void Write(Step step) {
        std::lock_guard lock(m_mutex);
        if (!m_strFailure.empty()) {
            return;
        }
        try {
            step();
        } catch (const SqliteError& error) {
            m_strFailure = "cannot write '" + m_strPath + "': " + error.what();
        }
    }

    void InsertJob(const JobReport& report) {
        SqliteStatement job(*m_pDb,
                            "INSERT INTO jobs(job_id, bench, job_number, title, version, started, "
                            "options, option_word) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        job.Bind(1, RandomId())
            .Bind(2, m_strBench)
            .Bind(3, int64_t{report.nJob})
            .Bind(4, LogTextToUtf8(report.strTitle))
            .Bind(5, report.strVersion)
            .Bind(6, IsoTime(report.started))
            .Bind(7, OptionsText(report))
            .Bind(8, int64_t{report.dwOptionFlags})
            .Run();
        m_job = m_pDb->LastInsertId();
        m_strJobDay = IsoTime(report.started).substr(0, 10);
        SqliteStatement image(*m_pDb,
                              "INSERT INTO images(job, kind, path, size, sha256, byte_sum) "
                              "VALUES(?, ?, ?, ?, ?, ?)");
        for (const ReportImage& each : report.images) {
            image.Bind(1, *m_job)
                .Bind(2, each.strKind)
                .Bind(3, LogTextToUtf8(each.strPath))
                .Bind(4, static_cast<int64_t>(each.qwSize))
                .Bind(5, each.strSha256)
                .Bind(6, int64_t{each.dwByteSum})
                .Run();
        }
    }

    // A port's record, replacing what an earlier step wrote of it.
    void WritePort(const ReportPort& port) {
        SqliteStatement(*m_pDb,
                        "INSERT OR REPLACE INTO ports(job, port, device, serial, port_path, "
                        "outcome, status_code, status_text, seconds, bytes_written, day) "
                        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
            .Bind(1, *m_job)
            .Bind(2, int64_t{port.nPort})
            .Bind(3, LogTextToUtf8(port.strDevice))
            .Bind(4, LogTextToUtf8(port.strSerial))
            .Bind(5, LogTextToUtf8(port.strPortPath))
            .Bind(6, port.strState)
            .Bind(7, int64_t{port.dwStatusCode})
            .Bind(8, LogTextToUtf8(port.strStatusText))
            .Bind(9, port.dSeconds)
            .Bind(10, static_cast<int64_t>(port.qwBytesSent))
            .Bind(11, m_strJobDay)
            .Run();
    }

    const std::string m_strPath;
    const std::string m_strBench;
    mutable std::mutex m_mutex;
    std::unique_ptr<SqliteDatabase> m_pDb;
    std::optional<int64_t> m_job;  // the running job's row
    std::string m_strJobDay;       // and the day it started, "2026-05-01"
    std::string m_strFailure;
};

}  // namespace

bool JobHistoryBuilt() {
    return true;
}

std::unique_ptr<JobHistory> OpenJobHistory(const std::string& path, const std::string& bench,
                                           std::string& error) {
    if (path.empty()) {
        error = "no folder for it: set XDG_DATA_HOME or HOME, or give --history FILE";
        return nullptr;
    }
    try {
        return std::make_unique<SqliteJobHistory>(path, bench);
    } catch (const SqliteError& failure) {
        error = "cannot open '" + path + "': " + failure.what();
        return nullptr;
    }
}

}  // namespace varnel
