// The contract every program keeps with scripts: --help and --version exit 0 on standard output,
// a bad argument exits 2, and option values may be joined with '='.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/version.h"
#include "tests/platform/child_process.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;

const std::vector<std::string> kPrograms = {VARNEL_CLI_PROGRAM, VARNEL_MKIMAGE_PROGRAM,
                                            VARNEL_BYTESUM_PROGRAM, VARNEL_SIM_PROGRAM};

TEST(ProgramsTest, EveryProgramAnswersHelpVersionAndBadArgumentsAlike) {
    for (const std::string& program : kPrograms) {
        SCOPED_TRACE(program);
        const ChildResult help = RunChild(program, {"--help"});
        EXPECT_EQ(help.nExitStatus, 0);
        EXPECT_THAT(help.strOut, HasSubstr("Exit status: 0"));
        const ChildResult version = RunChild(program, {"--version"});
        EXPECT_EQ(version.nExitStatus, 0);
        EXPECT_THAT(version.strOut, HasSubstr(kProjectVersion));
        EXPECT_THAT(version.strOut, HasSubstr(kGitCommit));
        const ChildResult bad = RunChild(program, {"--no-such-option"});
        EXPECT_EQ(bad.nExitStatus, 2);
        EXPECT_FALSE(bad.strErr.empty());
    }
}

TEST(ProgramsTest, ImageToolsTakeJoinedValuesAndSizeSuffixes) {
    const auto image = std::filesystem::path(testing::TempDir()) / "programs_test.nb0";
    const ChildResult made =
        RunChild(VARNEL_MKIMAGE_PROGRAM, {"--size=8K", "--seed=7", image.string()});
    ASSERT_EQ(made.nExitStatus, 0) << made.strErr;
    EXPECT_GT(std::filesystem::file_size(image), 8u << 10);
    EXPECT_EQ(RunChild(VARNEL_MKIMAGE_PROGRAM, {"--size=8Q", image.string()}).nExitStatus, 2);

    const ChildResult summed = RunChild(VARNEL_BYTESUM_PROGRAM, {"--sha256", image.string()});
    EXPECT_EQ(summed.nExitStatus, 0) << summed.strErr;
    EXPECT_THAT(summed.strOut, ::testing::MatchesRegex("0x[0-9A-F]{8}\n[0-9a-f]{64}\n"));
    EXPECT_EQ(RunChild(VARNEL_BYTESUM_PROGRAM, {image.string() + ".missing"}).nExitStatus, 2);
    std::filesystem::remove(image);
}

}  // namespace
}  // namespace varnel::test
