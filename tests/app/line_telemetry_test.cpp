// The bench's messages for the line's broker, and the outbox that keeps them until it takes them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/line_telemetry.h"
#include "app/memory_outbox.h"

namespace varnel::test {
namespace {

using nlohmann::json;

TEST(LineTelemetryTest, NamesBecomeSingleTopicLevels) {
    EXPECT_EQ(BenchTopic("hall/2", "a+b#c\n"), "varnel/hall_2/a_b_c_");
    EXPECT_EQ(TopicLevel(""), "_");
}

TEST(LineTelemetryTest, JobBecomesStatesEventsAndTheReportInOrder) {
    MemoryOutbox outbox;
    LineTelemetry telemetry(outbox, "line", "A");
    JobReport report;
    report.nJob = 2;
    report.images.push_back({"PDA", "/i/pda.nb0", 10, 0x37, "ab12"});
    telemetry.JobStarted(report);
    telemetry.PortChanged(3, {kPortDownloading, "SIM3", 0, 10, "Download"});
    telemetry.PortChanged(3, {kPortDownloading, "SIM3", 0, 60, "Download"});
    report.ports.push_back({3, "SIM3", "s3", "1-2", "failed", 7, "Fail", 1.5, 4096, "", {}, {}});
    telemetry.PortEnded(report, report.ports.back());
    report.strResult = "failed";
    telemetry.JobEnded(report);

    std::vector<std::string> topics;
    std::vector<json> payloads;
    for (const OutboxMessage& message : outbox.Pending(100)) {
        topics.push_back(message.strTopic + (message.bRetain ? " (retained)" : ""));
        payloads.push_back(json::parse(message.strPayload));
    }
    const std::string state = "varnel/line/A/state (retained)";
    const std::string event = "varnel/line/A/port/3/event";
    // The percentage alone moves no state.
    EXPECT_EQ(topics, (std::vector<std::string>{state, event, state, event, event, state,
                                                "varnel/line/A/job", state}));
    EXPECT_EQ(payloads[0]["images"][0]["sha256"], "ab12");
    EXPECT_EQ(payloads[2]["ports"][0]["state"], "downloading");
    EXPECT_EQ(payloads[4]["event"], "end");
    EXPECT_EQ(payloads[4]["serial"], "s3");
    EXPECT_EQ(payloads[5]["ports"][0]["state"], "failed");
    EXPECT_EQ(payloads[6], ReportJson(report));
    EXPECT_EQ(payloads[7]["job_state"], "ended");
    EXPECT_EQ(payloads[7]["result"], "failed");
    for (size_t index = 0; index < payloads.size(); ++index) {
        EXPECT_EQ(payloads[index]["schema_version"], 1) << index;
        if (index != 6) {
            EXPECT_EQ(payloads[index]["job"], 2) << index;
            EXPECT_EQ(payloads[index]["seq"], index < 6 ? index + 1 : index) << index;
            EXPECT_EQ(payloads[index]["run"], payloads[0]["run"]) << index;
        }
    }
    // The next run of the program counts seq from 1 again under a run of its own.
    MemoryOutbox nextOutbox;
    LineTelemetry nextRun(nextOutbox, "line", "A");
    nextRun.JobStarted(report);
    const json next = json::parse(nextOutbox.Pending(1).at(0).strPayload);
    EXPECT_EQ(next["seq"], 1);
    EXPECT_EQ(payloads[0]["run"].get<std::string>().size(), 32u);
    EXPECT_NE(next["run"], payloads[0]["run"]);
}

TEST(MemoryOutboxTest, KeepsOrderAndForgetsOnlyWhatWasAcknowledged) {
    MemoryOutbox outbox;
    for (const char* topic : {"a", "b", "c"}) {
        outbox.Enqueue(topic, "{}", false);
    }
    const std::vector<OutboxMessage> pending = outbox.Pending(2);
    ASSERT_EQ(pending.size(), 2u);
    outbox.MarkPublished(pending[1].nId);
    outbox.MarkPublished(pending[1].nId);
    std::string left;
    for (const OutboxMessage& message : outbox.Pending(10)) {
        left += message.strTopic;
    }
    EXPECT_EQ(left, "ac");
}

TEST(MemoryOutboxTest, DropsTheOldestBeyondItsCapacity) {
    MemoryOutbox outbox(2);
    for (const char* topic : {"a", "b", "c"}) {
        outbox.Enqueue(topic, "{}", false);
    }
    const std::vector<OutboxMessage> pending = outbox.Pending(10);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].strTopic, "b");
    EXPECT_EQ(outbox.Dropped(), 1u);
}

}  // namespace
}  // namespace varnel::test
