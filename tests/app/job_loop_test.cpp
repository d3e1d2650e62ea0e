// The numbered outputs and the tally of a bench that runs job after job.
#include <gtest/gtest.h>

#include "app/job_loop.h"

namespace varnel::test {
namespace {

TEST(JobLoopTest, NumbersGoBeforeTheExtension) {
    EXPECT_EQ(NumberedPath("out/report.json", 3), "out/report-0003.json");
    EXPECT_EQ(NumberedPath("report", 12), "report-0012");
    EXPECT_EQ(NumberedPath("a.b/report.v1.json", 1), "a.b/report.v1-0001.json");
    EXPECT_EQ(JobFolderName(7), "job-0007");
}

TEST(JobLoopTest, TallyKeepsTheWorstJobAndCountsEveryPort) {
    JobLoopTally tally;
    EXPECT_EQ(tally.ExitStatus(), 0);
    tally.Add(2, 0, 0);
    tally.Add(1, 0, 3);
    EXPECT_EQ(tally.JobLine(), "[Job 2] 1 finished, 0 failed");
    EXPECT_EQ(tally.ExitStatus(), 3);
    tally.Add(1, 1, 1);
    tally.Add(2, 0, 0);
    EXPECT_EQ(tally.ExitStatus(), 1) << "a failed port outweighs a short batch, later jobs too";
    EXPECT_EQ(tally.FinalLine(), "[Loop] 4 jobs, 6 finished, 1 failed");
}

}  // namespace
}  // namespace varnel::test
