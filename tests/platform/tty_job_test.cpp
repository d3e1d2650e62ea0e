// Whole jobs through the window with the real tty transports and the inotify device monitor,
// against handsets that varnel-sim serves on ptys: what each handset flashed is read back from
// varnel-sim's dump and compared with the image files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "platform/linux/tty_interface.h"
#include "platform/linux/tty_monitor.h"
#include "support/image_dir.h"
#include "tests/platform/sim_process.h"
#include "tests/platform/window_job.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;

std::vector<uint8_t> ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

ImageSpec PdaImage(uint64_t size, bool langpack = false) {
    ImageSpec layout;
    layout.format = ImageFormat::kPda;
    layout.pda.dataSize = size;
    layout.pda.langpack = langpack;
    return layout;
}

ImageSpec RawImage(ImageFormat format, uint64_t size) {
    ImageSpec layout;
    layout.format = format;
    layout.rawSize = size;
    return layout;
}

class TtyJobTest : public ::testing::Test {
  protected:
    TtyJobTest()
        : devices_(folder_.Path() + "/by-id"),
          job_([this] { return std::make_unique<CTtyInterface>(devices_); }),
          monitor_(devices_) {
        monitor_.AddListener(&job_.Events());
        EXPECT_TRUE(monitor_.Start());
    }

    // Detect, then varnel-sim plugs its handsets in; false when fewer than `attached` attach.
    bool DetectAndPlug(int attached, std::vector<std::string> arguments) {
        job_.Dlg().OnDetect();
        arguments.insert(arguments.end(), {"--record", "bytes", "--dump", dump_});
        sim_ = std::make_unique<SimProcess>(devices_, arguments);
        return job_.PumpUntil([&] { return job_.Dlg().m_nDetected >= attached; });
    }
    bool RunToTheEnd() {
        return job_.PumpUntil([this] { return job_.Finished(); });
    }
    // Stops varnel-sim and reads what its handsets flashed.
    nlohmann::json Dump() {
        EXPECT_EQ(sim_->Stop(), 0);
        return ReadDumpManifest(dump_);
    }
    std::vector<uint8_t> Flashed(const nlohmann::json& handset, uint32_t code) {
        return DumpedFlash(dump_, handset, code);
    }
    std::string Caption(int port) { return job_.View().text[kPortCaptionIds[port]]; }
    Color CaptionColor(int port) { return job_.View().bkColor[kPortCaptionIds[port]]; }

    ImageDir folder_;
    const std::string devices_;
    const std::string dump_ = folder_.Path() + "/dump";
    WindowJob job_;
    TtyDeviceMonitor monitor_;
    std::unique_ptr<SimProcess> sim_;
};

TEST_F(TtyJobTest, EightHandsetsOnPtysRunAWholeJobAndFlashTheImagesExactly) {
    ImageManifest pda;
    const std::string pdaPath = job_.Choose(kKindPda, "a.nb0", PdaImage(60000, true), &pda);
    ImageManifest phone;
    const std::string phonePath =
        job_.Choose(kKindPhone, "m.bin", RawImage(ImageFormat::kPhone, 9000), &phone);

    // The eighth attach starts the job by itself.
    ASSERT_TRUE(DetectAndPlug(kPortCount, {"--handsets", "8"})) << job_.Dlg().MainLog();
    ASSERT_TRUE(RunToTheEnd()) << job_.Dlg().MainLog();
    EXPECT_EQ(job_.Dlg().m_nFinished, kPortCount);
    EXPECT_EQ(job_.Dlg().m_nFailed, 0);

    const nlohmann::json dump = Dump();
    ASSERT_EQ(dump.size(), 8u);
    const auto pdaData = RegionBytes(pdaPath, pda, "pda.data");
    const auto langpackData = RegionBytes(pdaPath, pda, "langpack.data");
    const auto phoneData = ReadFileRegion(phonePath, 0, phone.fileSize);
    for (int port = 0; port < kPortCount; ++port) {
        SCOPED_TRACE(port);
        const nlohmann::json& handset = dump[port];
        EXPECT_EQ(job_.Dlg().m_strDeviceName[port], handset["name"].get<std::string>());
        EXPECT_EQ(Flashed(handset, kCmdWritePdaPiece), pdaData);
        EXPECT_EQ(Flashed(handset, kCmdWriteLangPack), langpackData);
        EXPECT_EQ(Flashed(handset, kCmdWritePhone), phoneData);
        EXPECT_TRUE(handset["launched"].get<bool>());
        EXPECT_EQ(handset["malformedWrites"], 0);
        EXPECT_EQ(Caption(port), "OK " + std::to_string(port));
    }
}

TEST_F(TtyJobTest, AnEbootJobReattachesThroughARemovedAndRecreatedNode) {
    ImageManifest eboot;
    const std::string ebootPath =
        job_.Choose(kKindEboot, "e.eb0", RawImage(ImageFormat::kEboot, 5000), &eboot);
    ImageManifest pda;
    const std::string pdaPath = job_.Choose(kKindPda, "a.nb0", PdaImage(3000), &pda);

    ASSERT_TRUE(DetectAndPlug(2, {"--handsets", "2", "--fault", "1:slow-reattach=200"}));
    job_.Dlg().OnStartDownloading();
    ASSERT_TRUE(RunToTheEnd()) << job_.Dlg().MainLog();
    EXPECT_EQ(job_.Dlg().m_nFinished, 2) << job_.Dlg().MainLog();
    // The removal and the arrival of the node came while the ports were downloading, and
    // changed nothing.
    EXPECT_THAT(job_.Dlg().MainLog(), HasSubstr("[0]Reconnect Success!!\r\n"));
    EXPECT_THAT(job_.Dlg().MainLog(), HasSubstr("[1]Reconnect Success!!\r\n"));
    EXPECT_THAT(job_.Dlg().MainLog(), HasSubstr("[Setup:1] New EBOOT version = 20100101\r\n"));

    const nlohmann::json dump = Dump();
    for (int port = 0; port < 2; ++port) {
        SCOPED_TRACE(port);
        EXPECT_EQ(dump[port]["reattaches"], 1);
        EXPECT_EQ(Flashed(dump[port], kCmdWriteEboot), ReadWhole(ebootPath));
        EXPECT_EQ(Flashed(dump[port], kCmdWritePdaPiece), RegionBytes(pdaPath, pda, "pda.data"));
    }
}

// varnel-sim asks for the block range it was given, and the window writes the image's blocks
// into it.
TEST_F(TtyJobTest, AnSmdJobOnAPtyWritesTheBlockRangeTheHandsetAsksFor) {
    ImageSpec smd;
    smd.format = ImageFormat::kSmd;
    smd.smdBlocks = 3;
    ImageManifest manifest;
    const std::string smdPath = job_.Choose(kKindSmd, "s.smd", smd, &manifest);

    ASSERT_TRUE(DetectAndPlug(1, {"--handsets", "1", "--smd-ranges", "40:3"}));
    job_.Dlg().OnStartDownloading();
    ASSERT_TRUE(RunToTheEnd()) << job_.Dlg().MainLog();
    EXPECT_EQ(job_.Dlg().m_nFinished, 1) << job_.Dlg().MainLog();
    EXPECT_THAT(job_.Dlg().MainLog(), HasSubstr("[SMD:0] nSMDStartSbn = 40 nSMDNumOfBlks = 3\r\n"));
    const nlohmann::json dump = Dump();
    EXPECT_EQ(Flashed(dump[0], kCmdSmdWriteBlocks), RegionBytes(smdPath, manifest, "smd.blocks"));
}

TEST_F(TtyJobTest, AHandsetUnpluggedMidJobFailsItsPortAndTheOtherFinishes) {
    ImageManifest pda;
    job_.Choose(kKindPda, "a.nb0", PdaImage(40000), &pda);

    ASSERT_TRUE(DetectAndPlug(2, {"--handsets", "2", "--fault", "1:disconnect-after=20000"}));
    job_.Dlg().OnStartDownloading();
    ASSERT_TRUE(RunToTheEnd()) << job_.Dlg().MainLog();
    EXPECT_EQ(CaptionColor(0), kColorFinished);
    EXPECT_EQ(CaptionColor(1), kColorFailed);
    EXPECT_EQ(job_.Dlg().m_nFailed, 1);
    EXPECT_THAT(sim_->Output(), HasSubstr("[sim] SIM1: unplugged\n"));
}

TEST_F(TtyJobTest, UnpluggingAnAttachedHandsetReleasesItsPort) {
    ImageManifest pda;
    job_.Choose(kKindPda, "a.nb0", PdaImage(4096), &pda);
    ASSERT_TRUE(DetectAndPlug(2, {"--handsets", "2"}));
    // varnel-sim going away takes both nodes with it: both attached ports are released.
    sim_->Stop();
    ASSERT_TRUE(
        job_.PumpUntil([this] { return job_.Dlg().m_nDetected == 0; }, std::chrono::seconds(10)));
    EXPECT_THAT(job_.Dlg().MainLog(), HasSubstr("] PDA Device removed.\r\n"));
    EXPECT_EQ(job_.Dlg().m_bWaitingForDevice, 0) << "the window is back where it began";
}

}  // namespace
}  // namespace varnel::test
