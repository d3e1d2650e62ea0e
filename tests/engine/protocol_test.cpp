// The host side of the boot-loader protocol against a virtual handset.
#include "engine/protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "images/bytesum.h"
#include "images/image_file.h"
#include "support/recording_status.h"
#include "support/sim_port.h"
#include "support/temp_file.h"

namespace varnel {
namespace {

constexpr int kPort = 3;
constexpr uint32_t kRamBase = 0x1000;
constexpr uint32_t kPdaKind = 1;

HandsetConfig WithFaults(const HandsetFaults& faults) {
    HandsetConfig config;
    config.faults = faults;
    return config;
}

struct DownloadResult {
    uint32_t status = 0;
    int errorSource = -1;
};

// Sends `length` bytes of `bytes` (from the file start) into the handset's RAM.
DownloadResult Download(SimPort& port, StatusSink& sink, const std::vector<uint8_t>& bytes,
                        uint64_t length) {
    TempFile temp(bytes);
    ImageFile file;
    EXPECT_TRUE(file.Open(temp.Path()));
    DownloadResult result;
    result.status = DownloadToRam(port.transport, kPort, sink, file, 0, length, kRamBase, kPdaKind,
                                  result.errorSource);
    return result;
}

DownloadResult Download(SimPort& port, StatusSink& sink, const std::vector<uint8_t>& bytes) {
    return Download(port, sink, bytes, bytes.size());
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> values;
    for (uint32_t value = first; value <= last; ++value) {
        values.push_back(value);
    }
    return values;
}

TEST(ProtocolCommands, ClosedTransportSendsNothing) {
    SimPort port;
    EXPECT_FALSE(SendCommand(port.transport, kCmdJobPlan, 2, 1, 0));
    EXPECT_FALSE(PostCommand(port.transport, kCmdSmdNextRange, 0, 0, 0));
    uint8_t reply[kReplySize] = {};
    EXPECT_EQ(SendVersionQuery(port.transport, reply, 1000), 0u);
    EXPECT_EQ(port.handset->HostBytesReceived(), 0u);
}

TEST(ProtocolCommands, PacketsCarryCodeArgumentsAndReplies) {
    HandsetConfig config;
    config.bootloaderVersion = 0x20110304;
    config.smdRanges = {{100, 1900}};
    SimPort port(config);
    ASSERT_TRUE(port.Open());

    EXPECT_TRUE(SendCommand(port.transport, kCmdJobPlan, kMaskPda, 1, 0x400));
    EXPECT_TRUE(SendCommand(port.transport, kCmdWriteEboot, 0, 0, 0xABCD1234, ReplyWait::kLong));
    EXPECT_TRUE(SendCommand(port.transport, kCmdSmdWriteBlocks, kRamBase, 3, 7, ReplyWait::kLong));
    uint8_t reply[kReplySize] = {};
    ASSERT_EQ(SendVersionQuery(port.transport, reply, 1000), kReplySize);
    EXPECT_EQ(GetLE32(reply), 0x20110304u);

    // PostCommand leaves the answer to the caller: here an SMD block range of two words.
    EXPECT_TRUE(PostCommand(port.transport, kCmdSmdNextRange, 0, 0, 0));
    ASSERT_EQ(ReadReply(port.transport, reply), kReplySize);
    EXPECT_EQ(GetLE32(reply), 100u);
    ASSERT_EQ(ReadReply(port.transport, reply), kReplySize);
    EXPECT_EQ(GetLE32(reply), 1900u);

    const std::vector<CommandRecord> expected = {{kCmdJobPlan, kMaskPda, 1, 0x400},
                                                 {kCmdWriteEboot, 0, 0, 0xABCD1234},
                                                 {kCmdSmdWriteBlocks, kRamBase, 3, 7},
                                                 {kCmdQueryVersion, 0, 0, 0},
                                                 {kCmdSmdNextRange, 0, 0, 0}};
    EXPECT_EQ(port.handset->Commands(), expected);
    EXPECT_EQ(port.handset->HostBytesReceived(), 5u * kPacketSize);
    EXPECT_EQ(port.handset->MalformedWrites(), 0u);
}

TEST(ProtocolCommands, CommandFailsWhenItsReplyIsShortOrMissing) {
    HandsetFaults faults;
    faults.shortReplyAt = 0;
    faults.missingReplyAt = 1;
    ScopedProtocolTimeouts timeouts(20);
    SimPort port(WithFaults(faults));
    ASSERT_TRUE(port.Open());
    EXPECT_FALSE(SendCommand(port.transport, kCmdMarker, kPdaKind, 1, kPhasePdaBegin));
    EXPECT_FALSE(SendCommand(port.transport, kCmdMarker, kPdaKind, 1, kPhasePdaBegin));
    EXPECT_TRUE(SendCommand(port.transport, kCmdMarker, kPdaKind, 1, kPhasePdaBegin));
}

TEST(ProtocolCommands, LongWaitOutlastsTheQuickLimitAndReportsItIsStillRunning) {
    ProtocolTimeouts limits;
    limits.commandReplyMs = 30;
    limits.longOperationMs = 2000;
    limits.stillRunningMs = 40;
    ScopedProtocolTimeouts timeouts(limits);
    HandsetFaults faults;
    faults.slowReply = HandsetFaults::SlowReply{kCmdNandFormat, 150};
    SimPort port(WithFaults(faults));
    ASSERT_TRUE(port.Open());

    EXPECT_FALSE(SendCommand(port.transport, kCmdNandFormat, 0, 0, 0));
    // The late reply of the failed quick wait is still on its way; a fresh handset starts clean.
    SimPort slow(WithFaults(faults));
    ASSERT_TRUE(slow.Open());
    ASSERT_TRUE(PostCommand(slow.transport, kCmdNandFormat, 0, 0, 0));
    std::vector<uint32_t> reports;
    uint8_t reply[kReplySize] = {};
    EXPECT_EQ(ReadReplyWithin(slow.transport, reply, ReplyLimitMs(ReplyWait::kLong),
                              [&](uint32_t waitedMs) {
                                  reports.push_back(waitedMs);
                                  return true;
                              }),
              kReplySize);
    EXPECT_EQ(GetLE32(reply), kCmdNandFormat);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_LT(reports.front(), reports.back());
}

TEST(DownloadToRam, TwoFullChunksThenFlashWritesTheFileBytes) {
    SimPort port;
    ASSERT_TRUE(port.Open());
    RecordingStatusSink sink;
    const std::vector<uint8_t> bytes = PatternBytes(2 * kChunkDataSize);

    const DownloadResult result = Download(port, sink, bytes);
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(sink.Records(), (std::vector<StatusRecord>{{kStatusRamProgress, kPort, 1}}));
    EXPECT_EQ(port.handset->Commands(),
              (std::vector<CommandRecord>{{kCmdBeginRamDownload, kPdaKind, 2, 0},
                                          {kCmdRamChunk, kRamBase, 4064, 0, 2}}));

    sink.Clear();
    EXPECT_EQ(WriteFlash(port.transport, kCmdWritePdaPiece, 0, 4064, 0, sink, kPort), 0);
    const std::vector<FlashRecord> flashed = port.handset->Flashed();
    ASSERT_EQ(flashed.size(), 1u);
    EXPECT_EQ(flashed[0].kind, kPdaKind);
    EXPECT_EQ(flashed[0].bytes, bytes);
    EXPECT_EQ(port.handset->OutOfPlaceChunks(), 0u);
    EXPECT_EQ(sink.ArgumentsOf(kStatusFlashProgress), (std::vector<uint32_t>{25, 50, 75, 100}));
}

TEST(DownloadToRam, ImageBelowOneChunkGoesAsOneShortChunk) {
    SimPort port;
    ASSERT_TRUE(port.Open());
    RecordingStatusSink sink;
    const std::vector<uint8_t> bytes = PatternBytes(100, 7);

    EXPECT_EQ(Download(port, sink, bytes).status, 0u);
    EXPECT_TRUE(sink.Records().empty());
    EXPECT_EQ(port.handset->Commands(),
              (std::vector<CommandRecord>{{kCmdBeginRamDownload, kPdaKind, 0, 0},
                                          {kCmdRamChunk, kRamBase, 100, 0, 1}}));
    EXPECT_EQ(
        WriteFlash(port.transport, kCmdWriteCsc, 0, 100, ByteSum32(bytes.data(), 100), sink, kPort),
        0);
    EXPECT_EQ(port.handset->FlashedBytes(kCmdWriteCsc), bytes);
}

TEST(DownloadToRam, ProgressIsChunksOverAHundredthOfTheTotal) {
    RecordingStatusSink sink;
    const std::vector<uint8_t> exact = PatternBytes(250 * kChunkDataSize, 3);
    {
        SimPort port;
        ASSERT_TRUE(port.Open());
        EXPECT_EQ(Download(port, sink, exact).status, 0u);
        EXPECT_EQ(sink.ArgumentsOf(kStatusRamProgress), Range(1, 124));
    }
    sink.Clear();
    std::vector<uint8_t> withRest = exact;
    withRest.resize(exact.size() + 500, 0x5A);
    SimPort port;
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(Download(port, sink, withRest).status, 0u);
    EXPECT_EQ(sink.ArgumentsOf(kStatusRamProgress), Range(1, 125));
    EXPECT_EQ(sink.Records().size(), 125u);
    ASSERT_EQ(WriteFlash(port.transport, kCmdWritePdaPiece, 0,
                         static_cast<uint32_t>(withRest.size()), 0, sink, kPort),
              0);
    EXPECT_EQ(port.handset->FlashedBytes(kCmdWritePdaPiece), withRest);
}

TEST(DownloadToRam, FileEndingEarlyIsAFileError) {
    RecordingStatusSink sink;
    const std::vector<uint8_t> bytes = PatternBytes(3000);
    {
        // Ends inside the second full chunk.
        SimPort port;
        ASSERT_TRUE(port.Open());
        const DownloadResult result = Download(port, sink, bytes, 5000);
        EXPECT_EQ(result.status, kStatusReadError);
        EXPECT_EQ(result.errorSource, kErrorSourceFile);
        EXPECT_EQ(port.handset->Commands().back(), (CommandRecord{kCmdRamChunk, kRamBase, 2032}));
    }
    // Ends inside the tail chunk.
    SimPort port;
    ASSERT_TRUE(port.Open());
    const DownloadResult result = Download(port, sink, bytes, 3100);
    EXPECT_EQ(result.status, kStatusReadError);
    EXPECT_EQ(result.errorSource, kErrorSourceFile);
    EXPECT_TRUE(sink.Records().empty());
}

TEST(DownloadToRam, MissingShortOrLateChunkReplyIsADeviceError) {
    ScopedProtocolTimeouts timeouts(20);
    const std::vector<uint8_t> bytes = PatternBytes(3 * kChunkDataSize);
    // Packet 0 is the begin command, packet 2 the second chunk.
    HandsetFaults missing;
    missing.missingReplyAt = 2;
    HandsetFaults shortReply;
    shortReply.shortReplyAt = 2;
    HandsetFaults stall;
    stall.stallAt = 2;
    for (const HandsetFaults& faults : {missing, shortReply, stall}) {
        SimPort port(WithFaults(faults));
        ASSERT_TRUE(port.Open());
        RecordingStatusSink sink;
        const DownloadResult result = Download(port, sink, bytes);
        EXPECT_EQ(result.status, kStatusReadError);
        EXPECT_EQ(result.errorSource, kErrorSourceDevice);
    }
}

TEST(DownloadToRam, WrongChunkSumStopsAfterThatChunk) {
    HandsetFaults faults;
    faults.wrongChunkSumAt = 1;
    SimPort port(WithFaults(faults));
    ASSERT_TRUE(port.Open());
    RecordingStatusSink sink;
    TempFile temp(PatternBytes(5 * kChunkDataSize));
    ImageFile file;
    ASSERT_TRUE(file.Open(temp.Path()));
    int errorSource = 42;
    EXPECT_EQ(DownloadToRam(port.transport, kPort, sink, file, 0, file.Length(), kRamBase, kPdaKind,
                            errorSource),
              kStatusChecksumError);
    EXPECT_EQ(errorSource, 42);
    EXPECT_EQ(port.handset->Commands().back().repeat, 2u);
}

TEST(DownloadToRam, ClosedTransportFailsAsTheDevice) {
    SimPort port;
    RecordingStatusSink sink;
    const DownloadResult result = Download(port, sink, PatternBytes(100));
    EXPECT_EQ(result.status, kStatusReadError);
    EXPECT_EQ(result.errorSource, kErrorSourceDevice);
    EXPECT_EQ(port.handset->HostBytesReceived(), 0u);
}

class WriteFlashTest : public ::testing::Test {
  protected:
    // Opens a handset with `faults` and a small download already in its RAM.
    void Start(HandsetFaults faults, std::vector<uint8_t> progress = {30, 60}) {
        HandsetConfig config = WithFaults(faults);
        config.flashProgress = std::move(progress);
        port_ = std::make_unique<SimPort>(config);
        ASSERT_TRUE(port_->Open());
        RecordingStatusSink ignored;
        ASSERT_EQ(Download(*port_, ignored, bytes_).status, 0u);
    }
    int Write(uint32_t a3 = 9) {
        return WriteFlash(port_->transport, kCmdWritePdaPiece, 0, 4064, a3, sink_, kPort);
    }

    const std::vector<uint8_t> bytes_ = PatternBytes(4064, 5);
    std::unique_ptr<SimPort> port_;
    RecordingStatusSink sink_;
};

TEST_F(WriteFlashTest, ProgressWordsUntilDone) {
    Start({});
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashProgress, kPort, 30},
                                                          {kStatusFlashProgress, kPort, 60}}));
    EXPECT_EQ(port_->handset->FlashedBytes(kCmdWritePdaPiece), bytes_);
}

TEST_F(WriteFlashTest, WrongOrMissingEchoFailsBeforeAnyProgress) {
    ScopedProtocolTimeouts timeouts(20);
    HandsetFaults wrongEcho;
    wrongEcho.flashWrongEchoAt = 0;
    HandsetFaults missingEcho;
    missingEcho.missingReplyAt = 3;  // begin, two chunks, then the flash write
    for (const HandsetFaults& faults : {wrongEcho, missingEcho}) {
        sink_.Clear();
        Start(faults);
        EXPECT_EQ(Write(), 1);
        EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashNoAck, kPort, 0}}));
    }
}

TEST_F(WriteFlashTest, MissingEchoOfZeroIsNoEchoEither) {
    // Piece 0 carries a3 = 0, the value the echo word starts from: a missing echo must not be
    // taken for it and then wait out the long flash-progress time-out.
    ScopedProtocolTimeouts timeouts({20, 2000, 20});
    HandsetFaults faults;
    faults.missingReplyAt = 3;
    Start(faults);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Write(0), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashNoAck, kPort, 0}}));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}

TEST_F(WriteFlashTest, Progress105IsAFlashFailure) {
    HandsetFaults faults;
    faults.flashFailAt = 0;
    Start(faults);
    EXPECT_EQ(Write(), 1);
    EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashProgress, kPort, 30},
                                                          {kStatusFlashFailed, kPort, 105}}));
    EXPECT_TRUE(port_->handset->Flashed().empty());
}

TEST_F(WriteFlashTest, GarbageWordFailsWithTheLastProgress) {
    HandsetFaults faults;
    faults.flashNoAckAt = 0;
    Start(faults);
    EXPECT_EQ(Write(), 1);
    EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashProgress, kPort, 30},
                                                          {kStatusFlashNoAck, kPort, 30}}));
}

TEST_F(WriteFlashTest, SilenceAfterProgressTimesOutWithTheLastProgress) {
    ScopedProtocolTimeouts timeouts(30);
    HandsetConfig config;
    config.flashProgress = {40};
    // The echo comes at once; "OKU"+40 only halfway through a 2-second flash.
    config.timing.flashBytesPerSecond = 2032;
    port_ = std::make_unique<SimPort>(config);
    ASSERT_TRUE(port_->Open());
    RecordingStatusSink ignored;
    ASSERT_EQ(Download(*port_, ignored, PatternBytes(4064)).status, 0u);
    EXPECT_EQ(Write(), 1);
    EXPECT_EQ(sink_.ArgumentsOf(kStatusFlashNoAck), (std::vector<uint32_t>{0}));
}

TEST_F(WriteFlashTest, ClosedTransportReportsNotWrittenThenNoAck) {
    ScopedProtocolTimeouts timeouts(20);
    Start({});
    port_->transport.Close();
    const uint64_t bytesBefore = port_->handset->HostBytesReceived();
    for (const uint32_t a3 : {0u, 9u}) {
        sink_.Clear();
        EXPECT_EQ(Write(a3), 1);
        EXPECT_EQ(sink_.Records(), (std::vector<StatusRecord>{{kStatusFlashFailed, kPort, 0},
                                                              {kStatusFlashNoAck, kPort, 0}}));
    }
    EXPECT_EQ(port_->handset->HostBytesReceived(), bytesBefore);
}

TEST(PdaImageOnTheWire, CheckWordIsTheSumOfEveryFlashedPiece) {
    SimPort port;
    ASSERT_TRUE(port.Open());
    RecordingStatusSink sink;
    const std::vector<uint8_t> image = PatternBytes(3 * kChunkDataSize + 11, 9);
    const uint32_t pieceLength = 2 * kChunkDataSize;
    TempFile temp(image);
    ImageFile file;
    ASSERT_TRUE(file.Open(temp.Path()));

    ASSERT_TRUE(SendCommand(port.transport, kCmdMarker, kPdaKind, 0x1234, kPhasePdaBegin));
    uint32_t piece = 0;
    for (uint64_t offset = 0; offset < image.size(); offset += pieceLength, ++piece) {
        const uint64_t end = std::min<uint64_t>(offset + pieceLength, image.size());
        int errorSource = -1;
        ASSERT_EQ(
            DownloadToRam(port.transport, kPort, sink, file, offset, end, 0, kPdaKind, errorSource),
            0u);
        ASSERT_EQ(WriteFlash(port.transport, kCmdWritePdaPiece, 0,
                             static_cast<uint32_t>(end - offset), piece, sink, kPort),
                  0);
    }
    const uint32_t checkWord = ByteSum32(image.data(), image.size());
    ASSERT_TRUE(SendCommand(port.transport, kCmdMarker, kPdaKind, checkWord, kPhasePdaEnd));
    uint8_t reply[kReplySize] = {};
    ASSERT_EQ(ReadReply(port.transport, reply), kReplySize);
    EXPECT_EQ(GetLE32(reply), checkWord);
    EXPECT_EQ(port.handset->FlashedBytes(kCmdWritePdaPiece), image);
    const std::vector<FlashRecord> flashed = port.handset->Flashed();
    ASSERT_EQ(flashed.size(), 2u);
    EXPECT_EQ(flashed[1].a3, 1u);
    EXPECT_EQ(flashed[1].length, image.size() - pieceLength);
}

}  // namespace
}  // namespace varnel
