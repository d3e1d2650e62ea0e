// varnel-cli's history end to end: a simulated job recorded and listed back as text, JSON and
// CSV; the filters and statistics on jobs of known outcome; a history that cannot be written; a
// tampered file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/history/sqlite_database.h"
#include "app/job_history.h"
#include "support/image_dir.h"
#include "tests/platform/child_process.h"

namespace varnel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr char kProgram[] = VARNEL_CLI_PROGRAM;
const std::vector<std::string> kFastBench = {"--sim-round-trip", "0",  "--sim-flash-rate", "0",
                                             "--sim-time-scale", "100"};

class HistoryCliTest : public ::testing::Test {
  protected:
    std::string Out(const std::string& name) const { return images_.Path() + "/" + name; }
    std::string History() const { return Out("history.sqlite3"); }
    std::string Pda() {
        ImageSpec image;
        image.format = ImageFormat::kPda;
        image.pda.dataSize = 20000;
        return images_.Build("pda.nb0", image);
    }
    ChildResult Job(std::vector<std::string> args) {
        args.insert(args.end(), kFastBench.begin(), kFastBench.end());
        return RunChild(kProgram, args);
    }
    // `varnel-cli history ARGS --history FILE`, which must succeed.
    std::string Query(std::vector<std::string> args) {
        args.insert(args.begin(), "history");
        args.insert(args.end(), {"--history", History()});
        const ChildResult result = RunChild(kProgram, args);
        EXPECT_EQ(result.nExitStatus, 0) << result.strErr;
        return result.strOut;
    }
    nlohmann::json QueryJson(std::vector<std::string> args) {
        args.push_back("--json");
        return nlohmann::json::parse(Query(args));
    }
    ImageDir images_;
};

std::vector<std::string> Column(const nlohmann::json& rows, const std::string& key) {
    std::vector<std::string> values;
    for (const nlohmann::json& row : rows) {
        values.push_back(row[key].is_string() ? row[key].get<std::string>() : row[key].dump());
    }
    return values;
}

TEST_F(HistoryCliTest, EightPortJobWithAFailedPortIsRecordedAndListed) {
    const ChildResult job = Job({"--pda", Pda(), "--skip-boot-wait", "--simulate", "8",
                                 "--sim-fault", "3:wrong-chunk-sum=2", "--bench", "line1-b2",
                                 "--history", History(), "--report", Out("report.json")});
    ASSERT_EQ(job.nExitStatus, 1) << job.strErr;
    std::ifstream file(Out("report.json"));
    const nlohmann::json report = nlohmann::json::parse(file);

    const nlohmann::json jobs = QueryJson({});
    ASSERT_EQ(jobs.size(), 1u);
    const nlohmann::json& recorded = jobs[0];
    EXPECT_EQ(recorded["bench"], "line1-b2");
    EXPECT_EQ(recorded["result"], "failed");
    EXPECT_EQ(recorded["exit_status"], 1);
    EXPECT_EQ(recorded["started"], report["started"]);
    EXPECT_EQ(recorded["ended"], report["ended"]);
    EXPECT_EQ(recorded["option_word"], report["option_flags"]);
    EXPECT_EQ(recorded["options"], report["options"]);
    EXPECT_EQ(recorded["images"], report["images"]);
    EXPECT_EQ(recorded["ports"], 8);
    EXPECT_EQ(recorded["finished"], 7);
    EXPECT_EQ(recorded["failed"], 1);
    EXPECT_EQ(recorded["job_id"].get<std::string>().size(), 32u);

    const nlohmann::json ports = QueryJson({"--ports"});
    ASSERT_EQ(ports.size(), 8u);
    for (size_t port = 0; port < 8; ++port) {
        SCOPED_TRACE(port);
        const nlohmann::json& row = ports[port];
        const nlohmann::json& reported = report["ports"][port];
        EXPECT_EQ(row["port"], port);
        EXPECT_EQ(row["serial"], "SIM" + std::to_string(port));
        EXPECT_EQ(row["port_path"], reported["port_path"]);
        EXPECT_EQ(row["outcome"], reported["state"]);
        EXPECT_EQ(row["status_code"], reported["status_code"]);
        EXPECT_EQ(row["status_text"], reported["status_text"]);
        EXPECT_EQ(row["bytes_written"], reported["bytes_sent"]);
        EXPECT_GT(row["bytes_written"].get<uint64_t>(), port == 3 ? 0u : 20000u);
    }
    EXPECT_EQ(ports[3]["status_text"], "[FAIL] PDA Checksum !!");

    const std::string text = Query({});
    EXPECT_THAT(text, StartsWith("STARTED "));
    EXPECT_THAT(text, HasSubstr("line1-b2"));
    EXPECT_THAT(text, HasSubstr("  failed  8      7         1       "));
    const std::string csv = Query({"--ports", "--csv"});
    EXPECT_THAT(csv, StartsWith("started,bench,job,port,device,serial,port_path,outcome,"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 9);
    EXPECT_THAT(csv, HasSubstr(",SIM3,sim-1.4,failed,212,[FAIL] PDA Checksum !!,"));
    EXPECT_THAT(Query({"--csv"}), HasSubstr(",failed,1,8,7,1,"));
}

// Jobs of known outcome written through the recorder: two days, a failure repeated, a job
// whose end never came (the program was killed).
class KnownJobsTest : public HistoryCliTest {
  protected:
    void SetUp() override {
        std::string error;
        std::unique_ptr<JobHistory> history = OpenJobHistory(History(), "bench-k", error);
        ASSERT_TRUE(history) << error;
        Record(*history, "2026-01-01T08:00:00Z", "IMG1",
               {{"A1", "finished", 518, "ok"}, {"A2", "failed", 212, "sum"}});
        Record(*history, "2026-01-02T08:00:00Z", "IMG2",
               {{"B1", "finished", 518, "ok"},
                {"B2", "failed", 212, "sum"},
                {"B3", "failed", 300, "ti,me\"out"}});
        Record(*history, "2026-01-02T09:00:00Z", "IMG2", {{"C1", "finished", 518, "ok"}}, false);
    }
    struct Port {
        const char* serial;
        const char* outcome;
        uint32_t code;
        const char* text;
    };
    static void Record(JobHistory& history, const char* started, const char* image,
                       const std::vector<Port>& ports, bool ends = true) {
        JobReport report;
        std::istringstream time(started);
        std::tm parts{};
        time >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%SZ");
        report.started = report.ended = std::chrono::system_clock::from_time_t(timegm(&parts));
        report.images.push_back({"PDA", "/p.nb0", 10, 1, std::string(64, image[3])});
        history.JobStarted(report);
        for (size_t index = 0; index < ports.size(); ++index) {
            ReportPort port;
            port.nPort = static_cast<int>(index);
            port.strSerial = ports[index].serial;
            port.strState = ports[index].outcome;
            port.dwStatusCode = ports[index].code;
            port.strStatusText = ports[index].text;
            history.PortEnded(report, port);
            report.ports.push_back(port);
        }
        const bool failed = std::any_of(ports.begin(), ports.end(), [](const Port& port) {
            return std::string(port.outcome) == "failed";
        });
        report.strResult = failed ? "failed" : "finished";
        report.nExitStatus = failed ? 1 : 0;
        if (ends) {
            history.JobEnded(report);
        }
    }
};

TEST_F(KnownJobsTest, FiltersChooseTheJobsAndPorts) {
    EXPECT_THAT(Column(QueryJson({}), "result"), ElementsAre("interrupted", "failed", "failed"));
    EXPECT_THAT(Column(QueryJson({}), "exit_status"), ElementsAre("null", "1", "1"));
    EXPECT_THAT(Column(QueryJson({"--since", "2026-01-02"}), "started"),
                ElementsAre("2026-01-02T09:00:00.000Z", "2026-01-02T08:00:00.000Z"));
    EXPECT_THAT(Column(QueryJson({"--serial", "A2"}), "started"),
                ElementsAre("2026-01-01T08:00:00.000Z"));
    EXPECT_THAT(Column(QueryJson({"--outcome", "interrupted"}), "ports"), ElementsAre("1"));
    EXPECT_THAT(Column(QueryJson({"--image-sha256", std::string(64, '1')}), "failed"),
                ElementsAre("1"));
    EXPECT_THAT(Column(QueryJson({"--limit", "1"}), "result"), ElementsAre("interrupted"));
    EXPECT_THAT(Column(QueryJson({"--ports", "--outcome", "failed"}), "serial"),
                ElementsAre("B2", "B3", "A2"));
    // A text with a comma and a quote stays one CSV field.
    EXPECT_THAT(Query({"--ports", "--csv", "--serial", "B3"}), HasSubstr(",300,\"ti,me\"\"out\","));

    const ChildResult bad =
        RunChild(kProgram, {"history", "--history", History(), "--since", "yesterday"});
    EXPECT_EQ(bad.nExitStatus, 2);
    EXPECT_THAT(bad.strErr, HasSubstr("--since takes a UTC date"));
}

TEST_F(KnownJobsTest, StatsGiveTheYieldPerDayAndPortAndTheCommonFailures) {
    const nlohmann::json stats = QueryJson({"--stats"});
    EXPECT_EQ(stats["per_day"], nlohmann::json::parse(R"([
                  {"day":"2026-01-02","ports":4,"finished":2,"failed":2,"yield":0.5},
                  {"day":"2026-01-01","ports":2,"finished":1,"failed":1,"yield":0.5}])"));
    EXPECT_THAT(Column(stats["per_port"], "port"), ElementsAre("0", "1", "2"));
    EXPECT_THAT(Column(stats["per_port"], "ports"), ElementsAre("3", "2", "1"));
    EXPECT_THAT(Column(stats["per_port"], "finished"), ElementsAre("3", "0", "0"));
    EXPECT_EQ(stats["failures"], nlohmann::json::parse(R"([
                  {"count":2,"status_code":212,"status_text":"sum"},
                  {"count":1,"status_code":300,"status_text":"ti,me\"out"}])"));
    const std::string text = Query({"--stats", "--since", "2026-01-02"});
    EXPECT_THAT(text, HasSubstr("Yield per day\nDAY         PORTS  FINISHED  FAILED  YIELD\n"
                                "2026-01-02  4      2         2       50.0%\n"));
    EXPECT_THAT(text, HasSubstr("Most common failures\n"));
}

TEST_F(KnownJobsTest, TamperedValuesAreReportedNotTrusted) {
    SqliteDatabase(History(), false)
        .Execute("UPDATE ports SET status_code = 'x' WHERE serial = 'B3'");
    const ChildResult result = RunChild(kProgram, {"history", "--history", History(), "--ports"});
    EXPECT_EQ(result.nExitStatus, 1);
    EXPECT_THAT(result.strErr,
                HasSubstr("the column 'status_code' holds a value that is not an integer"));
}

// The download does not depend on the history, but the record must not be lost silently.
TEST_F(HistoryCliTest, UnwritableHistoryLeavesTheJobRunningAndSaysSo) {
    std::ofstream(Out("a-file")) << "x";
    const ChildResult job = Job({"--pda", Pda(), "--skip-boot-wait", "--simulate", "2", "--history",
                                 Out("a-file/history.sqlite3"), "--report", Out("report.json")});
    EXPECT_EQ(job.nExitStatus, 1);
    EXPECT_THAT(job.strOut, HasSubstr("[Result] 2 finished, 0 failed"));
    const std::string line = "varnel-cli: --history: cannot open '" + Out("a-file/history.sqlite3");
    EXPECT_THAT(job.strErr, HasSubstr(line));
    EXPECT_EQ(job.strErr.find(line), job.strErr.rfind(line));
    std::ifstream file(Out("report.json"));
    const nlohmann::json report = nlohmann::json::parse(file);
    EXPECT_EQ(report["result"], "finished");
    EXPECT_THAT(report["history_error"].get<std::string>(), HasSubstr("cannot make the folder"));
}

// Without --history the jobs go under XDG_DATA_HOME; --no-history records none.
TEST_F(HistoryCliTest, DefaultPlaceFollowsXdgDataHome) {
    const char* before = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved =
        before != nullptr ? std::optional<std::string>(before) : std::nullopt;
    ASSERT_EQ(setenv("XDG_DATA_HOME", Out("data").c_str(), 1), 0);
    const ChildResult skipped = Job({"--pda", Pda(), "--simulate", "1", "--no-history"});
    EXPECT_EQ(skipped.nExitStatus, 0) << skipped.strErr;
    EXPECT_FALSE(std::filesystem::exists(Out("data")));
    const ChildResult recorded = Job({"--pda", Pda(), "--simulate", "1"});
    EXPECT_EQ(recorded.nExitStatus, 0) << recorded.strErr;
    const ChildResult listed = RunChild(kProgram, {"history", "--json"});
    EXPECT_EQ(nlohmann::json::parse(listed.strOut).size(), 1u) << listed.strErr;
    EXPECT_TRUE(std::filesystem::exists(Out("data/varnel/history.sqlite3")));
    if (saved) {
        setenv("XDG_DATA_HOME", saved->c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace varnel::test
