// The port worker against virtual handsets: what arrives in the handset's flash, the commands on
// the wire, the status reports, and every way a job can end.
#include "engine/download_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/clock.h"
#include "engine/log_sink.h"
#include "engine/protocol.h"
#include "images/csc_image.h"
#include "images/fake_csc_view.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_reader.h"
#include "images/language_table.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "support/image_dir.h"
#include "support/recording_status.h"
#include "support/sim_port.h"

namespace varnel {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class RecordingLog final : public MainLogSink {
  public:
    void AppendMainLogText(std::string_view entry) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(entry);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool Has(const std::string& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::vector<uint32_t> Codes(const std::vector<CommandRecord>& commands) {
    std::vector<uint32_t> codes;
    for (const auto& command : commands) {
        codes.push_back(command.code);
    }
    return codes;
}

std::vector<CommandRecord> WithCode(const std::vector<CommandRecord>& commands, uint32_t code) {
    std::vector<CommandRecord> found;
    std::copy_if(commands.begin(), commands.end(), std::back_inserter(found),
                 [code](const CommandRecord& command) { return command.code == code; });
    return found;
}

std::vector<FlashRecord> FlashesOf(const VirtualHandset& handset, uint32_t code) {
    std::vector<FlashRecord> found;
    for (const auto& record : handset.Flashed()) {
        if (record.code == code) {
            found.push_back(record);
        }
    }
    return found;
}

class WorkerTest : public ::testing::Test {
  protected:
    WorkerTest() : timeouts_(200) {
        for (auto& busy : g_bPortBusy) {
            busy = 0;
        }
        g_nCscType = kCscUnknown;
        g_nTelvikType = kTelvikNone;
    }

    // A handset on `port`, opened the way the attach opens it (the first free device). Handsets
    // of earlier jobs whose ports are closed again leave the bus first.
    std::shared_ptr<VirtualHandset> Attach(int port, HandsetConfig config = {}) {
        for (int other = 0; other < kPortCount; ++other) {
            if (!plugged_[other].empty() &&
                !(job_.m_pTransport[other] && job_.m_pTransport[other]->IsOpen())) {
                bus_.Unplug(plugged_[other]);
                plugged_[other].clear();
            }
        }
        config.instance = "SIM" + std::to_string(port);
        auto handset = std::make_shared<VirtualHandset>(config);
        plugged_[port] = bus_.Plug(handset);
        EXPECT_FALSE(plugged_[port].empty());
        job_.m_pTransport[port] = std::make_unique<TapTransport>(bus_);
        EXPECT_TRUE(job_.m_pTransport[port]->Open(GUID_BOOTLOADER_INTERFACE, nullptr));
        job_.m_PortSlot[port].nState = kPortDownloading;
        return handset;
    }

    std::string Choose(int imageKind, const std::string& fileName, const ImageSpec& spec,
                       ImageManifest* manifest = nullptr) {
        ImageManifest built;
        const std::string path = images_.Build(fileName, spec, &built);
        job_.SetPath(imageKind, path);
        job_.SelectedFlag(imageKind) = 1;
        job_.SetSpan(imageKind, {0, built.fileSize});
        if (manifest != nullptr) {
            *manifest = built;
        }
        return path;
    }

    // The CSC tables and language list the window fills when the image is chosen.
    void ParseCsc(const std::string& path) {
        ImageFile file;
        ASSERT_TRUE(file.Open(path));
        ParseCscFile(file, cscView_);
    }

    void Run(int port) {
        PortThreadParam param{port, &job_, job_.m_pTransport[port].get()};
        DownloadWorker(&param, Services());
    }

    WorkerServices Services() {
        WorkerServices services;
        services.window = &status_;
        services.log = &log_;
        services.clock = &clock_;
        services.pieceSize = pieceSize_;
        services.smdBlocksPerLoad = smdBlocksPerLoad_;
        return services;
    }

    std::vector<uint32_t> StatusCodes(int port) const {
        std::vector<uint32_t> codes;
        for (const auto& record : status_.Records()) {
            if (record.port == port) {
                codes.push_back(record.code);
            }
        }
        return codes;
    }
    StatusRecord LastStatus() const { return status_.Records().back(); }
    TapTransport& Tap(int port) { return static_cast<TapTransport&>(*job_.m_pTransport[port]); }

    ScopedProtocolTimeouts timeouts_;
    FakeClock clock_;
    SimBus bus_{clock_};
    DownloadJob job_;
    RecordingStatusSink status_;
    RecordingLog log_;
    ImageDir images_;
    testing::FakeCscView cscView_;
    uint64_t pieceSize_ = kFlashPieceSize;
    uint32_t smdBlocksPerLoad_ = kSmdBlocksPerLoad;
    std::string plugged_[kPortCount];
};

ImageSpec PdaSpec(uint64_t dataSize, bool langpack = false) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = dataSize;
    spec.pda.langpack = langpack;
    return spec;
}

ImageSpec RawSpec(ImageFormat format, uint64_t size, uint32_t seed = 3) {
    ImageSpec spec;
    spec.format = format;
    spec.rawSize = size;
    spec.seed = seed;
    return spec;
}

TEST_F(WorkerTest, PdaJobSendsPlanImageMarkersAndLaunchAndFlashesTheData) {
    auto handset = Attach(0);
    ImageManifest manifest;
    const std::string path = Choose(kKindPda, "a.nb0", PdaSpec(10000), &manifest);
    Run(0);

    const auto commands = handset->Commands();
    EXPECT_THAT(Codes(commands),
                ElementsAre(kCmdJobPlan, kCmdMarker, kCmdBeginRamDownload, kCmdRamChunk,
                            kCmdWritePdaPiece, kCmdMarker, kCmdLaunch));
    EXPECT_EQ(commands[0], (CommandRecord{kCmdJobPlan, kMaskPda, 1, 0}));
    EXPECT_EQ(commands[1].a3, kPhasePdaBegin);
    EXPECT_EQ(commands[4], (CommandRecord{kCmdWritePdaPiece, 0, 10000, 0}));
    EXPECT_EQ(commands[5].a3, kPhasePdaEnd);
    EXPECT_EQ(commands[6], (CommandRecord{kCmdLaunch, 0x80028000, 0, 0}));
    EXPECT_EQ(handset->FlashedBytes(kCmdWritePdaPiece), RegionBytes(path, manifest, "pda.data"));

    const auto codes = StatusCodes(0);
    EXPECT_THAT(codes, Contains(kStatusWaitForBoot));
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusJobDone, 0, 0}));
    EXPECT_TRUE(log_.Has("LANGPACK DOWNLOAD SKIP!!\r\n"));
    EXPECT_TRUE(log_.Has("[PDA:0] Size:[10000 Bytes]\r\n"));
    // The eight-minute boot wait is taken unless the operator skips it.
    EXPECT_GE(clock_.TotalSlept(), kBootWaitMs);
    EXPECT_EQ(g_bPortBusy[0].load(), 0);
    EXPECT_FALSE(job_.m_pTransport[0]->IsOpen());
}

TEST_F(WorkerTest, PdaIsCutIntoNumberedPiecesAndTheLangpackFollows) {
    pieceSize_ = 4 * kChunkDataSize;
    job_.m_bSkipBootWait = 1;
    auto handset = Attach(0);
    ImageManifest manifest;
    const std::string path =
        Choose(kKindPda, "a.nb0", PdaSpec(9 * kChunkDataSize + 100, true), &manifest);
    Run(0);

    const auto pieces = WithCode(handset->Commands(), kCmdWritePdaPiece);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], (CommandRecord{kCmdWritePdaPiece, 0, 4 * kChunkDataSize, 0}));
    EXPECT_EQ(pieces[1], (CommandRecord{kCmdWritePdaPiece, 0, 4 * kChunkDataSize, 1}));
    EXPECT_EQ(pieces[2], (CommandRecord{kCmdWritePdaPiece, 0, kChunkDataSize + 100, 2}));
    EXPECT_EQ(handset->FlashedBytes(kCmdWritePdaPiece), RegionBytes(path, manifest, "pda.data"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteLangPack),
              RegionBytes(path, manifest, "langpack.data"));
    EXPECT_TRUE(log_.Has("[LANGPACK:0] [LANGPACK]\r\n"));
    EXPECT_LT(clock_.TotalSlept(), kBootWaitMs);
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, PhoneOnlyJobLaunchesWithoutTheBootWait) {
    auto handset = Attach(0);
    const std::string path = Choose(kKindPhone, "m.bin", RawSpec(ImageFormat::kPhone, 5000));
    Run(0);

    EXPECT_THAT(StatusCodes(0), Not(Contains(kStatusWaitForBoot)));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
    const auto flashes = FlashesOf(*handset, kCmdWritePhone);
    ASSERT_EQ(flashes.size(), 1u);
    EXPECT_EQ(flashes[0].bytes, ReadFileRegion(path, 0, 5000));
    EXPECT_EQ(flashes[0].a3, flashes[0].byteSum);
    EXPECT_TRUE(log_.Has("[Phone:0] EndOffset: 5000 \r\n"));
}

TEST_F(WorkerTest, EbootReattachesOnlyFromTheThresholdVersionOn) {
    for (const uint32_t version : {kBootloaderVersionThreshold - 1, kBootloaderVersionThreshold}) {
        SCOPED_TRACE(version);
        status_.Clear();
        HandsetConfig config;
        config.versionAfterReattach = 0x20100505;
        auto handset = Attach(0, config);
        job_.m_dwBootloaderVersion = version;
        job_.m_bSkipBootWait = 1;
        const std::string eboot = Choose(kKindEboot, "e.eb0", RawSpec(ImageFormat::kEboot, 3000));
        Choose(kKindPda, "a.nb0", PdaSpec(2000));
        Run(0);

        const bool reattach = version >= kBootloaderVersionThreshold;
        EXPECT_EQ(handset->Reattaches(), reattach ? 1u : 0u);
        const std::vector<uint32_t> attempts =
            reattach ? std::vector<uint32_t>{1, 100} : std::vector<uint32_t>{};
        EXPECT_EQ(status_.ArgumentsOf(kStatusReconnect), attempts);
        EXPECT_EQ(LastStatus().code, kStatusJobDone);
        const auto eboots = FlashesOf(*handset, kCmdWriteEboot);
        ASSERT_EQ(eboots.size(), 1u);
        EXPECT_EQ(eboots[0].bytes, ReadFileRegion(eboot, 0, 3000));
        if (reattach) {
            EXPECT_EQ(job_.m_dwBootloaderVersion.load(), 0x20100505u);
            EXPECT_TRUE(log_.Has("[Setup:0] New EBOOT version = 20100505\r\n"));
        }
    }
}

TEST_F(WorkerTest, ReattachCountsItsAttemptsUntilTheDeviceIsBack) {
    HandsetConfig config;
    config.faults.reattachDelayMs = 4500;  // back during the fifth 1-second reconnect pause
    auto handset = Attach(0, config);
    job_.m_dwBootloaderVersion = kBootloaderVersionThreshold;
    job_.m_bSkipBootWait = 1;
    Choose(kKindEboot, "e.eb0", RawSpec(ImageFormat::kEboot, 100));
    Choose(kKindPda, "a.nb0", PdaSpec(100));
    Run(0);
    EXPECT_EQ(status_.ArgumentsOf(kStatusReconnect), (std::vector<uint32_t>{1, 2, 3, 4, 5, 100}));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, ReattachFailuresEndThePortWith216) {
    {
        HandsetConfig config;
        config.faults.neverReattach = true;
        Attach(0, config);
        job_.m_dwBootloaderVersion = kBootloaderVersionThreshold;
        Choose(kKindEboot, "e.eb0", RawSpec(ImageFormat::kEboot, 100));
        Choose(kKindPda, "a.nb0", PdaSpec(100));
        Run(0);
        EXPECT_EQ(status_.ArgumentsOf(kStatusReconnect).size(), 20u);
        EXPECT_EQ(LastStatus().code, kStatusReconnectFailed);
        EXPECT_TRUE(log_.Has("[0]Reconnect Timeout!!\r\n"));
    }
    {
        status_.Clear();
        HandsetConfig config;
        config.faults.refuseHandshakes = 1;
        Attach(1, config);
        Run(1);
        EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReconnectFailed, 1, 0}));
        EXPECT_TRUE(log_.Has("[1]Reconnect Fail!!\r\n"));
    }
}

TEST_F(WorkerTest, MultiCscSendsTheSelectedFileAndTheChosenLanguage) {
    auto handset = Attach(0);
    job_.m_bSkipBootWait = 1;
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    spec.csc.multi = true;
    CscFileSpec first;
    first.name = "FIRST";
    first.bodySize = 3000;
    CscFileSpec second;
    second.name = "SECOND";
    second.bodySize = 5000;
    second.supportLanguages = {7, 8};
    second.optionalLanguages = {5, 8, 7};
    second.defaultLanguage = "040C";
    spec.csc.files = {first, second};
    ImageManifest manifest;
    const std::string path = Choose(kKindCsc, "c.csc", spec, &manifest);
    ParseCsc(path);
    ASSERT_EQ(g_nCscType.load(), kCscMulti);
    job_.m_nSelectedCscFile = 1;
    // "Language Select" lists file 0's languages until another file is chosen; pick row 8.
    job_.m_SelectLangID = 2;
    Run(0);

    const auto flashes = FlashesOf(*handset, kCmdWriteCsc);
    ASSERT_EQ(flashes.size(), 1u);
    EXPECT_EQ(flashes[0].bytes, RegionBytes(path, manifest, "csc.file1"));
    EXPECT_EQ(flashes[0].a3, flashes[0].byteSum);
    EXPECT_TRUE(log_.Has("[CSC] SupportLanguage 0x1:[0407]\r\n"));
    // Row 8 ("0407") stands at place 1 of the selected file's ImageOptionalLanglist.
    EXPECT_THAT(handset->LanguageSelections(),
                ElementsAre(std::array<uint32_t, 3>{kKindCsc, 1, LangIdOf(8)}));
    EXPECT_TRUE(log_.Has("[PDA:0] LANG_ID:[1][0407]\r\n"));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, SingleCscSendsTheWholeFile) {
    auto handset = Attach(0);
    job_.m_bSkipBootWait = 1;
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    const std::string path = Choose(kKindCsc, "c.csc", spec);
    ParseCsc(path);
    ASSERT_EQ(g_nCscType.load(), kCscSingle);
    Run(0);
    const auto flashes = FlashesOf(*handset, kCmdWriteCsc);
    ASSERT_EQ(flashes.size(), 1u);
    EXPECT_EQ(flashes[0].bytes, ReadFileRegion(path, 0, 1 << 20));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, TelvikPartitionsSkipTheirPreamblesAndHonourPreserveContents) {
    for (const bool preserve : {false, true}) {
        SCOPED_TRACE(preserve);
        auto handset = Attach(0);
        job_.m_bSkipBootWait = 1;
        job_.m_bPreserveContents = preserve;
        g_nTelvikType = kTelvikMulti;
        ImageSpec spec;
        spec.format = ImageFormat::kTelvik;
        spec.telvik.firstSize = 7000;
        spec.telvik.secondSize = 5000;
        ImageManifest manifest;
        const std::string path = Choose(kKindTelvik, "t.mst", spec, &manifest);
        Run(0);

        EXPECT_EQ(handset->FlashedBytes(kCmdWriteFirstPartition),
                  preserve ? std::vector<uint8_t>{} : RegionBytes(path, manifest, "telvik.first"));
        EXPECT_EQ(handset->FlashedBytes(kCmdWriteSecondPartition),
                  RegionBytes(path, manifest, "telvik.second"));
        EXPECT_EQ(LastStatus().code, kStatusJobDone);
    }
}

TEST_F(WorkerTest, TelvikWithoutFirstPartitionSendsOnlyTheSecond) {
    auto handset = Attach(0);
    job_.m_bSkipBootWait = 1;
    g_nTelvikType = kTelvikMulti;
    ImageSpec spec;
    spec.format = ImageFormat::kTelvik;
    spec.telvik.hasFirst = false;
    ImageManifest manifest;
    const std::string path = Choose(kKindTelvik, "t.msd", spec, &manifest);
    Run(0);
    EXPECT_TRUE(FlashesOf(*handset, kCmdWriteFirstPartition).empty());
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteSecondPartition),
              RegionBytes(path, manifest, "telvik.second"));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, SingleTelvikIsCheckedAgainstTheSumTakenAtSelection) {
    for (const bool rightSum : {true, false}) {
        SCOPED_TRACE(rightSum);
        status_.Clear();
        auto handset = Attach(0);
        job_.m_bSkipBootWait = 1;
        g_nTelvikType = kTelvikSingle;
        ImageManifest manifest;
        const std::string path =
            Choose(kKindTelvik, "s.sst", RawSpec(ImageFormat::kSingleTelvik, 6000), &manifest);
        job_.m_dwSingleTelvikSum = manifest.fileSum + (rightSum ? 0 : 1);
        Run(0);
        const auto begin = WithCode(handset->Commands(), kCmdMarker).front();
        EXPECT_EQ(begin,
                  (CommandRecord{kCmdMarker, kKindTelvik, 6000, kPhaseSinglePartitionBegin}));
        EXPECT_EQ(handset->FlashedBytes(kCmdWriteSinglePartition), ReadFileRegion(path, 0, 6000));
        EXPECT_EQ(LastStatus().code, rightSum ? kStatusJobDone : kStatusChecksumError);
    }
}

TEST_F(WorkerTest, ContentsWritesItsFirstPartUnlessContentsArePreserved) {
    for (const bool preserve : {false, true}) {
        SCOPED_TRACE(preserve);
        auto handset = Attach(0);
        job_.m_bSkipBootWait = 1;
        job_.m_bPreserveContents = preserve;
        ImageSpec spec;
        spec.format = ImageFormat::kContents;
        ImageManifest manifest;
        const std::string path = Choose(kKindContents, "x.mct", spec, &manifest);
        Run(0);
        EXPECT_EQ(
            handset->FlashedBytes(kCmdWriteFirstPartition),
            preserve ? std::vector<uint8_t>{} : RegionBytes(path, manifest, "contents.first"));
        EXPECT_EQ(LastStatus().code, kStatusJobDone);
    }
}

TEST_F(WorkerTest, SmdJobSendsTheBlockRangesTheHandsetAsksFor) {
    smdBlocksPerLoad_ = 8;
    job_.m_bSkipBootWait = 1;
    HandsetConfig config;
    config.smdRanges = {{100, 19}};
    auto handset = Attach(0, config);
    ImageSpec spec;
    spec.format = ImageFormat::kSmd;
    spec.smdBlocks = 19;
    ImageManifest manifest;
    const std::string path = Choose(kKindSmd, "s.smd", spec, &manifest);
    g_bPortBusy[3] = 1;  // another port still writing: an SMD job does not wait for it
    Run(0);

    const auto writes = WithCode(handset->Commands(), kCmdSmdWriteBlocks);
    EXPECT_THAT(writes, ElementsAre(CommandRecord{kCmdSmdWriteBlocks, 0, 8, 100},
                                    CommandRecord{kCmdSmdWriteBlocks, 0, 8, 108},
                                    CommandRecord{kCmdSmdWriteBlocks, 0, 3, 116}));
    EXPECT_EQ(handset->FlashedBytes(kCmdSmdWriteBlocks), RegionBytes(path, manifest, "smd.blocks"));
    EXPECT_TRUE(log_.Has("[SMD:0] nSMDStartSbn = 100 nSMDNumOfBlks = 19\r\n"));
    EXPECT_THAT(StatusCodes(0), Contains(kStatusWaitForBoot));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
    EXPECT_EQ(g_bPortBusy[0].load(), 0);
    EXPECT_TRUE(handset->Launched());
}

TEST_F(WorkerTest, SmdDeviceThatNeedsNothingGetsOnlyTheHeader) {
    job_.m_bSkipBootWait = 1;
    auto handset = Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kSmd;
    spec.smdBlocks = 0;
    ImageManifest manifest;
    const std::string path = Choose(kKindSmd, "s.smd", spec, &manifest);
    Run(0);
    EXPECT_TRUE(WithCode(handset->Commands(), kCmdSmdWriteBlocks).empty());
    const auto chunks = WithCode(handset->Commands(), kCmdRamChunk);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].a2, kSmdHeaderSize);
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, SimulatedHandsetAsksForTheBlocksTheSmdHeaderAnnounces) {
    job_.m_bSkipBootWait = 1;
    HandsetConfig config;
    config.smdRangeBlocks = 2;
    auto handset = Attach(0, config);
    ImageSpec spec;
    spec.format = ImageFormat::kSmd;
    spec.smdBlocks = 5;
    ImageManifest manifest;
    const std::string path = Choose(kKindSmd, "s.smd", spec, &manifest);
    Run(0);
    EXPECT_THAT(WithCode(handset->Commands(), kCmdSmdWriteBlocks),
                ElementsAre(CommandRecord{kCmdSmdWriteBlocks, 0, 2, 0},
                            CommandRecord{kCmdSmdWriteBlocks, 0, 2, 2},
                            CommandRecord{kCmdSmdWriteBlocks, 0, 1, 4}));
    EXPECT_EQ(handset->FlashedBytes(kCmdSmdWriteBlocks), RegionBytes(path, manifest, "smd.blocks"));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, IntegratedWalkTakesCscWithItsLanguagePhoneAndBothTelvikKinds) {
    job_.m_bSkipBootWait = 1;
    auto handset = Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    CscFileSpec csc;
    csc.supportLanguages = {3, 7};
    csc.optionalLanguages = {5, 7, 3};
    spec.integrated.csc = CscImageSpec{};
    spec.integrated.csc->files = {csc};
    spec.integrated.phone = 5000;
    spec.integrated.telvik = TelvikImageSpec{};
    spec.integrated.singleTelvik = 3000;
    ImageManifest manifest;
    const std::string path = Choose(kKindIntegrated, "i.img", spec, &manifest);
    {
        ImageFile file;
        ASSERT_TRUE(file.Open(path));
        sImageHeader header;
        ASSERT_EQ(ReadImageHeader(file, header), ImageHeaderRead::kOk);
        ASSERT_TRUE(ParseIntegratedCsc(file, header.Of(kComponentCsc), cscView_));
    }
    ASSERT_EQ(g_nCscType.load(), kCscSingle);
    job_.m_SelectLangID = 1;  // entry 1 of "Language Select": row 7
    Run(0);

    EXPECT_EQ(WithCode(handset->Commands(), kCmdJobPlan).back(),
              (CommandRecord{kCmdJobPlan, kMaskCsc | kMaskPhone | kMaskTelvik, 3, 0}));
    std::vector<uint32_t> flashCodes;
    for (const auto& record : handset->Flashed()) {
        flashCodes.push_back(record.code);
    }
    EXPECT_THAT(flashCodes, ElementsAre(kCmdWriteCsc, kCmdWritePhone, kCmdWriteFirstPartition,
                                        kCmdWriteSecondPartition, kCmdWriteSinglePartition));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteCsc), RegionBytes(path, manifest, "component.csc"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWritePhone),
              RegionBytes(path, manifest, "component.phone"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteFirstPartition),
              RegionBytes(path, manifest, "telvik.first"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteSecondPartition),
              RegionBytes(path, manifest, "telvik.second"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteSinglePartition),
              RegionBytes(path, manifest, "component.sst"));
    // Row 7 ("040C") stands at place 1 of ImageOptionalLanglist; the code goes out as its four
    // characters.
    const auto languages = Tap(0).PacketsOf(kCmdSelectLanguage);
    ASSERT_EQ(languages.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(languages[0].begin() + 4, languages[0].begin() + 16),
              (std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0, '0', '4', '0', 'C'}));
    EXPECT_TRUE(log_.Has("[LNG]Language Select check, pProc->m_SelectLangID = 1 \r\n"));
    EXPECT_TRUE(log_.Has("[LNG:0] LANG_ID:[1][040C]\r\n"));
    // The single-partition component is announced with the length of the whole file.
    const auto singleBegin = WithCode(handset->Commands(), kCmdMarker);
    EXPECT_THAT(singleBegin, Contains(CommandRecord{kCmdMarker, kKindTelvik,
                                                    static_cast<uint32_t>(manifest.fileSize),
                                                    kPhaseSinglePartitionBegin}));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, NoLanguageChosenLeavesTheHandsetsLanguageAlone) {
    job_.m_bSkipBootWait = 1;
    auto handset = Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    ParseCsc(Choose(kKindCsc, "c.csc", spec));
    job_.m_SelectLangID = -1;
    Run(0);
    EXPECT_TRUE(Tap(0).PacketsOf(kCmdSelectLanguage).empty());
    EXPECT_TRUE(log_.Has("[LNG:0] No language selected: the handset keeps its language\r\n"));
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, IntegratedImageTakesItsComponentsAndClearsTheirSelection) {
    job_.m_bSkipBootWait = 1;
    auto handset = Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    spec.integrated.eboot = 3000;
    spec.integrated.pda = PdaImageSpec{};
    spec.integrated.contents = TelvikImageSpec{};
    ImageManifest manifest;
    const std::string path = Choose(kKindIntegrated, "i.img", spec, &manifest);
    // A separately chosen PDA is replaced by the component.
    Choose(kKindPda, "a.nb0", PdaSpec(500));
    Run(0);

    const auto plans = WithCode(handset->Commands(), kCmdJobPlan);
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0], (CommandRecord{kCmdJobPlan, kMaskPda, 1, 0}));
    EXPECT_EQ(plans[1], (CommandRecord{kCmdJobPlan, 0x23, 3, 0}));
    std::vector<uint32_t> flashCodes;
    for (const auto& record : handset->Flashed()) {
        flashCodes.push_back(record.code);
    }
    EXPECT_THAT(flashCodes,
                ElementsAre(kCmdWriteEboot, kCmdWritePdaPiece, kCmdWriteFirstPartition));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteEboot),
              RegionBytes(path, manifest, "component.eboot"));
    EXPECT_EQ(handset->FlashedBytes(kCmdWriteFirstPartition),
              RegionBytes(path, manifest, "contents.first"));
    EXPECT_EQ(handset->Reattaches(), 1u);
    EXPECT_FALSE(job_.IsSelected(kKindPda));
    EXPECT_TRUE(job_.Path(kKindEboot).empty());
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
}

TEST_F(WorkerTest, IntegratedFailuresReachTheWindow) {
    Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    spec.integrated.phone = 100;
    const std::string path = Choose(kKindIntegrated, "i.img", spec);
    {
        // A trailer with the wrong identifier.
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-128, std::ios::end);
        file.write("XXXX", 4);
    }
    Run(0);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusIntegratedError, 0, 1}));
    EXPECT_TRUE(log_.Has("sImageHeader ID is invalid\r\n"));

    // A file that cannot be opened ends with a report too, so the job can finish.
    status_.Clear();
    Attach(1);
    job_.SetPath(kKindIntegrated, images_.Path() + "/missing.img");
    Run(1);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 1, 1}));
    EXPECT_TRUE(log_.Has("cIMGFile.Open Failed\r\n"));
}

TEST_F(WorkerTest, ComponentWithWrongIdentifierFailsWithItsMessage) {
    Attach(0);
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    spec.integrated.phone = 100;
    ImageManifest manifest;
    const std::string path = Choose(kKindIntegrated, "i.img", spec, &manifest);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(manifest.Find("component.phone")->offset - 4));
        file.write("XXXX", 4);
    }
    Run(0);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 0, 1}));
    EXPECT_TRUE(log_.Has("[Phone:0] PHONE_ID is invalid \r\n"));
}

struct FailureCase {
    const char* name;
    void (*inject)(HandsetFaults&);
    StatusRecord expected;
    const char* logLine;
};

TEST_F(WorkerTest, DeviceFaultsEndThePortWithTheirStatus) {
    const FailureCase cases[] = {
        {"wrong chunk sum",
         [](HandsetFaults& f) { f.wrongChunkSumAt = 1; },
         {kStatusChecksumError, 0, 0},
         nullptr},
        {"missing chunk reply",
         [](HandsetFaults& f) { f.missingReplyAt = 3; },
         {kStatusReadError, 0, 0},
         nullptr},
        {"flash progress 105",
         [](HandsetFaults& f) { f.flashFailAt = 0; },
         {kStatusFlashFailed, 0, 105},
         "[PDA:0] Writing flash error\r\n"},
        {"flash garbage",
         [](HandsetFaults& f) { f.flashNoAckAt = 0; },
         {kStatusFlashNoAck, 0, 25},
         nullptr},
        {"flash wrong echo",
         [](HandsetFaults& f) { f.flashWrongEchoAt = 0; },
         {kStatusFlashNoAck, 0, 0},
         nullptr},
        {"wrong check word",
         [](HandsetFaults& f) { f.wrongCheckWordAt = 0; },
         {kStatusChecksumError, 0, 0},
         nullptr},
        {"stall", [](HandsetFaults& f) { f.stallAt = 2; }, {kStatusReadError, 0, 0}, nullptr},
        {"silent where the check word is due",
         [](HandsetFaults& f) { f.missingCheckWordAt = 0; },
         {kStatusReadError, 0, 0},
         "[Error:0] No reply to command 8 within 200 ms\r\n"},
        // Packet 7 is the end marker after which the check word is due.
        {"vanished where the check word is due",
         [](HandsetFaults& f) { f.disconnectAfterBytes = 7 * kPacketSize; },
         {kStatusReadError, 0, 0},
         nullptr},
    };
    const std::string path = Choose(kKindPda, "a.nb0", PdaSpec(3 * kChunkDataSize));
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        status_.Clear();
        HandsetConfig config;
        failure.inject(config.faults);
        Attach(0, config);
        Run(0);
        EXPECT_EQ(LastStatus(), failure.expected);
        EXPECT_THAT(StatusCodes(0), Not(Contains(kStatusJobDone)));
        if (failure.logLine != nullptr) {
            EXPECT_TRUE(log_.Has(failure.logLine));
        }
        EXPECT_EQ(g_bPortBusy[0].load(), 0) << "a failed port must not hold the others back";
        EXPECT_FALSE(job_.m_pTransport[0]->IsOpen());
    }
}

TEST_F(WorkerTest, EbootEchoIsCheckedLikeEveryFlashWrite) {
    Choose(kKindEboot, "e.eb0", RawSpec(ImageFormat::kEboot, 3000));
    // Packet 4 is the EBoot write: a wrong echo, then no echo at all.
    for (const auto inject : {+[](HandsetFaults& f) { f.flashWrongEchoAt = 0; },
                              +[](HandsetFaults& f) { f.stallAt = 4; }}) {
        status_.Clear();
        HandsetConfig config;
        inject(config.faults);
        Attach(0, config);
        Run(0);
        EXPECT_EQ(LastStatus(), (StatusRecord{kStatusFlashNoAck, 0, 0}));
        EXPECT_THAT(StatusCodes(0), Not(Contains(kStatusJobDone)));
        EXPECT_TRUE(log_.Has("[EBoot:0] Writing flash error\r\n"));
    }
}

TEST_F(WorkerTest, LongOperationsOutlastTheQuickLimitAndAreLoggedAsStillRunning) {
    ProtocolTimeouts limits;
    limits.commandReplyMs = 50;
    limits.longOperationMs = 5000;
    limits.stillRunningMs = 40;
    ScopedProtocolTimeouts timeouts(limits);
    job_.m_bSkipBootWait = 1;
    HandsetConfig config;
    config.faults.slowReply = HandsetFaults::SlowReply{kCmdNandFormat, 200};
    auto handset = Attach(0, config);
    ImageSpec spec;
    spec.format = ImageFormat::kSmd;
    spec.smdBlocks = 1;
    Choose(kKindSmd, "s.smd", spec);
    Run(0);
    EXPECT_EQ(LastStatus().code, kStatusJobDone);
    EXPECT_EQ(WithCode(handset->Commands(), kCmdSmdWriteBlocks).size(), 1u);
    EXPECT_THAT(log_.Lines(), Contains(HasSubstr("[Wait:0] Command 1021 still running")));
}

TEST_F(WorkerTest, ReplyThatTimesOutFailsThePortAtOnceNamingTheCommand) {
    ProtocolTimeouts limits;
    limits.commandReplyMs = 50;
    ScopedProtocolTimeouts timeouts(limits);
    HandsetConfig config;
    config.faults.slowReply = HandsetFaults::SlowReply{kCmdJobPlan, 300};
    auto handset = Attach(0, config);
    Choose(kKindPda, "a.nb0", PdaSpec(100));
    Run(0);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 0, 0}));
    EXPECT_TRUE(log_.Has("[Error:0] No reply to command 5 within 50 ms\r\n"));
    // Nothing follows: a late reply must not be taken as the answer to a later command.
    EXPECT_THAT(Codes(handset->Commands()), ElementsAre(kCmdJobPlan));
}

TEST_F(WorkerTest, JobPlanHasOneMaskBitPerChosenImageKind) {
    const struct {
        int kind;
        uint8_t bit;
    } kinds[] = {{kKindEboot, 0x01},  {kKindPda, 0x02},      {kKindCsc, 0x04},
                 {kKindTelvik, 0x10}, {kKindContents, 0x20}, {kKindPhone, 0x00}};
    job_.m_dwOptionFlags = 0x80000A00;
    for (const auto& chosen : kinds) {
        SCOPED_TRACE(chosen.kind);
        // The file is missing: the plan goes out, then the port fails on the file.
        job_.SetPath(chosen.kind, images_.Path() + "/missing");
        job_.SelectedFlag(chosen.kind) = 1;
        Attach(0);
        Run(0);
        job_.SelectedFlag(chosen.kind) = 0;
        const auto plans = Tap(0).PacketsOf(kCmdJobPlan);
        ASSERT_EQ(plans.size(), 1u);
        const uint8_t count = chosen.bit == 0 ? 0 : 1;
        EXPECT_EQ(
            std::vector<uint8_t>(plans[0].begin() + 4, plans[0].begin() + 16),
            (std::vector<uint8_t>{chosen.bit, 0, 0, 0, count, 0, 0, 0, 0x00, 0x0A, 0x00, 0x80}));
    }
}

TEST_F(WorkerTest, FileFaultsEndThePortWithAReadErrorOfTheFile) {
    Attach(0);
    job_.SetPath(kKindPda, images_.Path() + "/missing.nb0");
    job_.m_bPda = 1;
    Run(0);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 0, 1}));

    // A PDA header whose end mark is wrong passes selection but not the worker.
    status_.Clear();
    Attach(1);
    const std::string path = Choose(kKindPda, "b.nb0", PdaSpec(100));
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(252);
        file.write("\0\0\0\0", 4);
    }
    Run(1);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 1, 1}));
}

TEST_F(WorkerTest, EndsThatUsedToBeSilentAreReported) {
    // A CSC of unknown layout and a Telvik of unknown type used to end the worker without a
    // word, leaving the port "downloading" for ever.
    Attach(0);
    ImageSpec csc;
    csc.format = ImageFormat::kCsc;
    Choose(kKindCsc, "c.csc", csc);
    g_nCscType = kCscUnknown;
    Run(0);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 0, 1}));
    EXPECT_TRUE(log_.Has("[CSC:0] Unknown type CSC Image \r\n"));

    status_.Clear();
    job_.ClearSelection(kKindCsc);
    Attach(1);
    ImageSpec telvik;
    telvik.format = ImageFormat::kTelvik;
    Choose(kKindTelvik, "t.mst", telvik);
    g_nTelvikType = kTelvikNone;
    Run(1);
    EXPECT_EQ(LastStatus(), (StatusRecord{kStatusReadError, 1, 1}));
}

TEST_F(WorkerTest, LaunchWaitsForPortsStillWritingButNotForFailedOnes) {
    job_.m_bSkipBootWait = 1;
    Attach(0);
    Choose(kKindPhone, "m.bin", RawSpec(ImageFormat::kPhone, 100));
    g_bPortBusy[5] = 1;  // a port that never finishes writing
    Run(0);
    const uint64_t withBusyPort = clock_.TotalSlept();
    EXPECT_GE(withBusyPort, kLaunchBarrierPolls * 1000u);

    // A port whose worker failed clears its own entry, so nobody waits for it.
    g_bPortBusy[5] = 0;
    HandsetConfig failing;
    failing.faults.wrongChunkSumAt = 0;
    Attach(1, failing);
    Run(1);
    EXPECT_EQ(g_bPortBusy[1].load(), 0);
    Attach(2);
    const uint64_t before = clock_.TotalSlept();
    Run(2);
    EXPECT_LT(clock_.TotalSlept() - before, 10 * 1000u);
}

TEST_F(WorkerTest, EightPortsAtOnceEachFlashTheWholeImage) {
    job_.m_bSkipBootWait = 1;
    pieceSize_ = 16 * kChunkDataSize;
    std::vector<std::shared_ptr<VirtualHandset>> handsets;
    for (int port = 0; port < kPortCount; ++port) {
        handsets.push_back(Attach(port));
    }
    ImageManifest manifest;
    const std::string path = Choose(kKindPda, "a.nb0", PdaSpec(100000, true), &manifest);
    std::vector<std::thread> workers;
    for (int port = 0; port < kPortCount; ++port) {
        workers.emplace_back([this, port] { Run(port); });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const auto expected = RegionBytes(path, manifest, "pda.data");
    for (int port = 0; port < kPortCount; ++port) {
        SCOPED_TRACE(port);
        EXPECT_EQ(handsets[port]->FlashedBytes(kCmdWritePdaPiece), expected);
        EXPECT_EQ(StatusCodes(port).back(), kStatusJobDone);
        EXPECT_TRUE(handsets[port]->Launched());
    }
}

TEST_F(WorkerTest, StopRequestEndsPausesAtOnce) {
    Attach(0);
    Choose(kKindPda, "a.nb0", PdaSpec(100));
    std::atomic<bool> stop{true};
    WorkerServices services = Services();
    services.stopRequested = &stop;
    PortThreadParam param{0, &job_, job_.m_pTransport[0].get()};
    DownloadWorker(&param, services);
    EXPECT_LT(clock_.TotalSlept(), 1000u);
    EXPECT_THAT(StatusCodes(0), Not(Contains(kStatusJobDone)));
}

}  // namespace
}  // namespace varnel
