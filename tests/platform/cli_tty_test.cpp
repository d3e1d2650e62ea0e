// varnel-cli on the tty transport, run as a process against handsets that varnel-sim serves on
// ptys: which handsets attach at Detect, and what they flashed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "support/image_dir.h"
#include "tests/platform/child_process.h"
#include "tests/platform/sim_process.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kCli[] = VARNEL_CLI_PROGRAM;
// Written when Detect is pressed, just before arrivals start to count.
constexpr char kDetectPressed[] = "[Setup] Download Ram Size";

class CliTtyTest : public ::testing::Test {
  protected:
    CliTtyTest() {
        ImageSpec layout;
        layout.format = ImageFormat::kPda;
        layout.pda.dataSize = 30000;
        layout.pda.langpack = true;
        layout.pda.langpackSize = 2000;
        pdaPath_ = folder_.Build("a.nb0", layout, &pda_);
    }

    // A real-device bench on the folder's tty nodes with the PDA image.
    std::vector<std::string> Arguments(const std::vector<std::string>& extra) const {
        std::vector<std::string> arguments = {
            "--transport", "tty",      "--tty-dir", devices_,           "--pda",
            pdaPath_,      "--report", report_,     "--skip-boot-wait", "--keep-sync-software"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    nlohmann::json Report() const {
        std::ifstream in(report_);
        return nlohmann::json::parse(in, nullptr, false);
    }
    void ExpectFlashedTheImage(const nlohmann::json& handset) {
        SCOPED_TRACE(handset["name"].get<std::string>());
        EXPECT_EQ(DumpedFlash(dump_, handset, kCmdWritePdaPiece),
                  RegionBytes(pdaPath_, pda_, "pda.data"));
        EXPECT_EQ(DumpedFlash(dump_, handset, kCmdWriteLangPack),
                  RegionBytes(pdaPath_, pda_, "langpack.data"));
        EXPECT_TRUE(handset["launched"].get<bool>());
    }

    ImageDir folder_;
    const std::string devices_ = folder_.Path() + "/by-id";
    const std::string dump_ = folder_.Path() + "/dump";
    const std::string report_ = folder_.Path() + "/report.json";
    std::string pdaPath_;
    ImageManifest pda_;
};

TEST_F(CliTtyTest, HandsetsPluggedInBeforehandAttachAtDetectWhenAskedAndFlashTheImage) {
    SimProcess sim(devices_, {"--handsets", "3", "--record", "bytes", "--dump", dump_});

    const ChildResult cli = RunChild(kCli, Arguments({"--attach-present", "--ports", "3"}));

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr << cli.strOut;
    EXPECT_THAT(cli.strOut, HasSubstr("[Success] All Download finished."));
    EXPECT_THAT(cli.strErr, HasSubstr("finished: 3 finished, 0 failed, 3 attached"));
    const nlohmann::json report = Report();
    ASSERT_EQ(report["ports"].size(), 3u);
    for (const auto& port : report["ports"]) {
        EXPECT_EQ(port["state"], "finished");
        EXPECT_THAT(port["device"].get<std::string>(), testing::StartsWith("SIM"));
    }
    EXPECT_EQ(report["options"]["transport"], "tty");

    ASSERT_EQ(sim.Stop(), 0);
    const nlohmann::json dump = ReadDumpManifest(dump_);
    ASSERT_EQ(dump.size(), 3u);
    for (const auto& handset : dump) {
        ExpectFlashedTheImage(handset);
    }
}

TEST_F(CliTtyTest, WithoutAttachPresentAHandsetPluggedInBeforehandIsNotTaken) {
    SimProcess early(devices_, {"--handsets", "1"});

    const ChildResult cli = RunChild(kCli, Arguments({"--ports", "1", "--detect-timeout", "1"}));

    EXPECT_EQ(cli.nExitStatus, 1);
    EXPECT_THAT(cli.strErr, HasSubstr("no handset attached within 1 seconds"));
    EXPECT_THAT(cli.strOut, Not(HasSubstr("OnDeviceChange")));
    EXPECT_EQ(Report()["result"], "no handset");
}

TEST_F(CliTtyTest, HandsetsPluggedInAfterDetectAttachAndFlashTheImage) {
    std::unique_ptr<SimProcess> sim;
    const auto plugAfterDetect = [&](const std::string& output) {
        if (!sim && output.find(kDetectPressed) != std::string::npos) {
            sim = std::make_unique<SimProcess>(
                devices_,
                std::vector<std::string>{"--handsets", "2", "--record", "bytes", "--dump", dump_});
        }
        return false;
    };
    // varnel-sim makes the folder when it starts; the monitor waits for it to appear.
    const ChildResult cli = RunChild(kCli, Arguments({"--ports", "2"}), plugAfterDetect);

    ASSERT_EQ(cli.nExitStatus, 0) << cli.strErr << cli.strOut;
    EXPECT_THAT(cli.strOut, HasSubstr("OnDeviceChange \\\\?\\tty#SIM1#"));
    const nlohmann::json report = Report();
    ASSERT_EQ(report["ports"].size(), 2u);
    ASSERT_TRUE(sim);
    ASSERT_EQ(sim->Stop(), 0);
    const nlohmann::json dump = ReadDumpManifest(dump_);
    ASSERT_EQ(dump.size(), 2u);
    for (const auto& handset : dump) {
        ExpectFlashedTheImage(handset);
    }
}

}  // namespace
}  // namespace varnel::test
