// The history recorder on its own: the broker's outbox, files of an older or a foreign layout,
// and a history that stops being writable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/history/sqlite_database.h"
#include "app/job_history.h"
#include "support/image_dir.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class JobHistoryTest : public ::testing::Test {
  protected:
    std::string Path() const { return images_.Path() + "/history.sqlite3"; }
    std::unique_ptr<JobHistory> Open() {
        std::string error;
        std::unique_ptr<JobHistory> history = OpenJobHistory(Path(), "bench-a", error);
        EXPECT_TRUE(history) << error;
        return history;
    }
    ImageDir images_;
};

std::vector<std::string> Topics(const std::vector<OutboxMessage>& messages) {
    std::vector<std::string> topics;
    for (const OutboxMessage& message : messages) {
        topics.push_back(message.strTopic);
    }
    return topics;
}

TEST_F(JobHistoryTest, OutboxKeepsWhatIsUnpublishedInOrderAcrossAReopenForItsBenchOnly) {
    {
        const std::unique_ptr<JobHistory> history = Open();
        TelemetryOutbox& outbox = history->Outbox();
        outbox.Enqueue("a", "{\"n\":1}", true);
        outbox.Enqueue("b", "{\"n\":2}", false);
        outbox.Enqueue("c", "{\"n\":3}", false);
        const std::vector<OutboxMessage> pending = outbox.Pending(10);
        ASSERT_THAT(Topics(pending), ::testing::ElementsAre("a", "b", "c"));
        EXPECT_LT(pending[0].nId, pending[1].nId);
        EXPECT_TRUE(pending[0].bRetain);
        EXPECT_EQ(pending[1].strPayload, "{\"n\":2}");
        outbox.MarkPublished(pending[0].nId);
        EXPECT_THAT(Topics(outbox.Pending(1)), ::testing::ElementsAre("b"));
    }
    const std::unique_ptr<JobHistory> reopened = Open();
    EXPECT_THAT(Topics(reopened->Outbox().Pending(10)), ::testing::ElementsAre("b", "c"));
    EXPECT_THAT(reopened->Failure(), IsEmpty());
    // Another bench program on the same file publishes only its own messages.
    std::string error;
    const std::unique_ptr<JobHistory> otherBench = OpenJobHistory(Path(), "bench-b", error);
    ASSERT_TRUE(otherBench) << error;
    EXPECT_THAT(otherBench->Outbox().Pending(10), IsEmpty());
}

// The program's thread enqueues while the publisher's drains: every message once, in order.
TEST_F(JobHistoryTest, OutboxIsDrainedInOrderWhileItIsFilled) {
    const std::unique_ptr<JobHistory> history = Open();
    TelemetryOutbox& outbox = history->Outbox();
    constexpr int kMessages = 200;
    std::thread producer([&] {
        for (int index = 0; index < kMessages; ++index) {
            outbox.Enqueue("t", std::to_string(index), false);
        }
    });
    std::vector<std::string> published;
    while (published.size() < kMessages) {
        for (const OutboxMessage& message : outbox.Pending(16)) {
            published.push_back(message.strPayload);
            outbox.MarkPublished(message.nId);
        }
    }
    producer.join();
    for (int index = 0; index < kMessages; ++index) {
        ASSERT_EQ(published[static_cast<size_t>(index)], std::to_string(index));
    }
    EXPECT_THAT(outbox.Pending(1), IsEmpty());
}

// A file as the first released layout wrote it, with a job in it.
TEST_F(JobHistoryTest, OlderLayoutIsMigratedWithItsRowsKept) {
    {
        SqliteDatabase old(Path(), true);
        old.Execute(R"(
            CREATE TABLE jobs(id INTEGER PRIMARY KEY, job_id TEXT NOT NULL UNIQUE,
                bench TEXT NOT NULL, job_number INTEGER NOT NULL, title TEXT NOT NULL,
                version TEXT NOT NULL, started TEXT NOT NULL, ended TEXT, result TEXT,
                exit_status INTEGER, options TEXT NOT NULL, option_word INTEGER NOT NULL);
            CREATE TABLE images(job INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
                kind TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,
                sha256 TEXT NOT NULL, byte_sum INTEGER NOT NULL);
            CREATE TABLE ports(job INTEGER NOT NULL REFERENCES jobs(id) ON DELETE CASCADE,
                port INTEGER NOT NULL, device TEXT NOT NULL, serial TEXT NOT NULL,
                port_path TEXT NOT NULL, outcome TEXT NOT NULL, status_code INTEGER NOT NULL,
                status_text TEXT NOT NULL, seconds REAL NOT NULL,
                PRIMARY KEY(job, port)) WITHOUT ROWID;
            CREATE INDEX images_of_job ON images(job);
            INSERT INTO jobs VALUES(1, 'old-job', 'bench-old', 4, 'T', '2.10',
                '2025-03-01T10:00:00.000Z', '2025-03-01T10:05:00.000Z', 'failed', 1, '{}', 0);
            INSERT INTO images VALUES(1, 'PDA', '/img/pda.nb0', 100, 'ab', 7);
            INSERT INTO ports VALUES(1, 2, 'SIM2', 'S-2', '1-2', 'failed', 212, 'bad sum', 3.5);
            PRAGMA user_version = 1;)");
    }
    const std::unique_ptr<JobHistory> history = Open();
    ASSERT_TRUE(history);
    history->Outbox().Enqueue("after", "migration", false);
    EXPECT_EQ(history->Outbox().Pending(1).size(), 1u);

    SqliteDatabase db(Path(), false);
    SqliteStatement version(db, "PRAGMA user_version");
    ASSERT_TRUE(version.Step());
    EXPECT_EQ(version.Integer(0), 2);
    SqliteStatement port(
        db,
        "SELECT j.job_id, j.bench, p.serial, p.status_code, p.bytes_written, p.day, "
        "(SELECT sha256 FROM images WHERE job = j.id) "
        "FROM ports p JOIN jobs j ON j.id = p.job");
    ASSERT_TRUE(port.Step());
    EXPECT_EQ(port.Text(0), "old-job");
    EXPECT_EQ(port.Text(1), "bench-old");
    EXPECT_EQ(port.Text(2), "S-2");
    EXPECT_EQ(port.Integer(3), 212);
    EXPECT_EQ(port.Integer(4), 0);
    EXPECT_EQ(port.Text(5), "2025-03-01");
    EXPECT_EQ(port.Text(6), "ab");
    EXPECT_FALSE(port.Step());
}

TEST_F(JobHistoryTest, FilesItCannotUseAreRefusedWithTheReason) {
    std::string error;
    {
        SqliteDatabase newer(Path(), true);
        newer.Execute("PRAGMA user_version = 99");
    }
    EXPECT_FALSE(OpenJobHistory(Path(), "b", error));
    EXPECT_THAT(error, HasSubstr("schema version 99, newer than this program's"));

    const std::string garbage = images_.Path() + "/garbage.sqlite3";
    std::ofstream(garbage) << std::string(4096, 'x');
    EXPECT_FALSE(OpenJobHistory(garbage, "b", error));
    EXPECT_THAT(error, HasSubstr("not a database"));

    std::ofstream(images_.Path() + "/a-file") << "x";
    EXPECT_FALSE(OpenJobHistory(images_.Path() + "/a-file/history.sqlite3", "b", error));
    EXPECT_THAT(error, HasSubstr("cannot make the folder"));
}

// A write that fails is kept as the reason, and nothing more is written after it.
TEST_F(JobHistoryTest, FirstFailedWriteIsKeptAndEndsTheRecording) {
    const std::unique_ptr<JobHistory> history = Open();
    JobReport report;
    report.strResult = "finished";
    history->JobStarted(report);
    SqliteDatabase(Path(), false).Execute("DROP TABLE ports");
    ReportPort port;
    port.strState = "finished";
    history->PortEnded(report, port);
    EXPECT_THAT(history->Failure(), HasSubstr("no such table: ports"));
    history->JobEnded(report);
    SqliteDatabase db(Path(), false);
    SqliteStatement ended(db, "SELECT ended FROM jobs");
    ASSERT_TRUE(ended.Step());
    EXPECT_TRUE(ended.IsNull(0));
    history->Outbox().Enqueue("t", "p", false);
    EXPECT_THAT(history->Outbox().Pending(5), IsEmpty());
}

}  // namespace
}  // namespace varnel::test
