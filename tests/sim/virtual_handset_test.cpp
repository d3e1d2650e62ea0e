// The virtual handset on its own: what it answers, records and does on request.
#include "sim/virtual_handset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "images/bytesum.h"
#include "images/image_layouts.h"
#include "support/temp_file.h"

namespace varnel {
namespace {

using std::chrono::microseconds;

// Drives a handset directly, packet by packet, and reads what it queued.
class HandsetDriver {
  public:
    explicit HandsetDriver(HandsetConfig config = {}) : handset(std::move(config)) {
        replies.SetOrigin(kOrigin);
    }

    HostWriteResult Packet(uint32_t code, uint32_t a1 = 0, uint32_t a2 = 0, uint32_t a3 = 0,
                           const std::vector<uint8_t>& payload = {}) {
        std::vector<uint8_t> packet(kPacketSize);
        BuildPacketHeader(packet.data(), code, a1, a2, a3);
        std::copy_n(payload.begin(), std::min<size_t>(payload.size(), kChunkDataSize),
                    packet.begin() + kPacketHeaderSize);
        return handset.HandleHostWrite(packet.data(), packet.size(), replies);
    }
    // Sends `bytes` as a RAM download from `base`, chunk by chunk.
    void Download(const std::vector<uint8_t>& bytes, uint32_t kind = 1, uint32_t base = 0) {
        Packet(kCmdBeginRamDownload, kind, static_cast<uint32_t>(bytes.size() / kChunkDataSize));
        for (size_t at = 0; at < bytes.size(); at += kChunkDataSize) {
            const size_t length = std::min<size_t>(kChunkDataSize, bytes.size() - at);
            const std::vector<uint8_t> chunk(bytes.begin() + at, bytes.begin() + at + length);
            Packet(kCmdRamChunk, base + static_cast<uint32_t>(at), static_cast<uint32_t>(length),
                   ByteSum32(chunk.data(), length), chunk);
        }
    }
    HostWriteResult Handshake(const char* word = "ATUD") {
        return handset.HandleHostWrite(reinterpret_cast<const uint8_t*>(word), 4, replies);
    }
    // Everything queued so far, ready or not.
    std::string TakeAll() {
        std::string text(replies.Size(), '\0');
        replies.Take(text.data(), text.size(), ReplyQueue::TimePoint::max());
        return text;
    }
    std::vector<uint32_t> TakeWords() {
        const std::string text = TakeAll();
        std::vector<uint32_t> words;
        for (size_t at = 0; at + 4 <= text.size(); at += 4) {
            words.push_back(GetLE32(reinterpret_cast<const uint8_t*>(text.data() + at)));
        }
        return words;
    }

    static inline const ReplyQueue::TimePoint kOrigin{std::chrono::seconds(1000)};
    VirtualHandset handset;
    ReplyQueue replies;
};

uint32_t Word(const char* text) {
    return GetLE32(reinterpret_cast<const uint8_t*>(text));
}

TEST(VirtualHandset, HandshakeRefusedTheConfiguredNumberOfTimes) {
    HandsetConfig config;
    config.faults.refuseHandshakes = 2;
    HandsetDriver driver(config);
    std::string answers;
    for (int attempt = 0; attempt < 3; ++attempt) {
        driver.Handshake();
        answers += driver.TakeAll();
    }
    EXPECT_EQ(answers, "NOUDNOUDOKUD");
    EXPECT_EQ(driver.handset.HandshakeRequests(), 3u);
}

TEST(VirtualHandset, MalformedWritesAreCountedAndNeverCrash) {
    HandsetDriver driver;
    const std::vector<uint8_t> big(4096, 0xEE);
    for (const size_t size :
         {size_t{0}, size_t{1}, size_t{3}, size_t{5}, size_t{2047}, size_t{2049}, size_t{4096}}) {
        EXPECT_EQ(driver.handset.HandleHostWrite(big.data(), size, driver.replies).exit,
                  HandsetExit::kStay);
    }
    driver.handset.HandleHostWrite(nullptr, kPacketSize, driver.replies);
    driver.Handshake("ATUX");
    EXPECT_TRUE(driver.replies.Empty());
    EXPECT_EQ(driver.handset.MalformedWrites(), 9u);

    // Unknown code, a chunk longer than a packet holds, a marker of no known phase: each gets a
    // reply, so a host waiting for one is not left hanging.
    driver.Packet(999);
    driver.Packet(kCmdRamChunk, 0, 0xFFFFFFFF, 0);
    driver.Packet(kCmdMarker, 1, 0, 9);
    EXPECT_EQ(driver.TakeWords(), (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFFFFFF, kCmdMarker}));
    EXPECT_EQ(driver.handset.MalformedWrites(), 12u);

    driver.Packet(kCmdQueryVersion);
    EXPECT_EQ(driver.TakeWords(), (std::vector<uint32_t>{0x20090206}));
}

TEST(VirtualHandset, CommandLogCollapsesChunkRuns) {
    HandsetDriver driver;
    driver.Download(PatternBytes(2 * kChunkDataSize + 5), 2, 0x400);
    driver.Packet(kCmdWriteCsc, 0, 4069, 1);
    driver.Download(PatternBytes(10), 2, 0x400);
    const std::vector<CommandRecord> expected = {{kCmdBeginRamDownload, 2, 2, 0},
                                                 {kCmdRamChunk, 0x400, 4069, 0, 3},
                                                 {kCmdWriteCsc, 0, 4069, 1},
                                                 {kCmdBeginRamDownload, 2, 0, 0},
                                                 {kCmdRamChunk, 0x400, 10, 0, 1}};
    EXPECT_EQ(driver.handset.Commands(), expected);
}

TEST(VirtualHandset, ChunksAreStoredAtTheirAddresses) {
    HandsetDriver driver;
    driver.Packet(kCmdBeginRamDownload, 1, 0);
    const std::vector<uint8_t> first = {1, 2, 3, 4};
    const std::vector<uint8_t> second = {9, 9};
    driver.Packet(kCmdRamChunk, 0x100, 4, ByteSum32(first.data(), 4), first);
    driver.Packet(kCmdRamChunk, 0x106, 2, ByteSum32(second.data(), 2), second);
    driver.Packet(kCmdWritePhone, 0, 8, 0);
    EXPECT_EQ(driver.handset.FlashedBytes(kCmdWritePhone),
              (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 9, 9}));
    EXPECT_EQ(driver.handset.OutOfPlaceChunks(), 1u);
}

TEST(VirtualHandset, DigestModeRecordsWhatBytesModeRecords) {
    const std::vector<uint8_t> image = PatternBytes(5 * kChunkDataSize + 777, 4);
    HandsetConfig digestConfig;
    digestConfig.recordMode = RecordMode::kDigest;
    HandsetDriver bytesMode;
    HandsetDriver digestMode(digestConfig);
    for (HandsetDriver* driver : {&bytesMode, &digestMode}) {
        driver->Download(image, 3);
        driver->Packet(kCmdWriteFirstPartition, 0, static_cast<uint32_t>(image.size()), 0);
    }
    const FlashRecord kept = bytesMode.handset.Flashed().at(0);
    const FlashRecord digest = digestMode.handset.Flashed().at(0);
    EXPECT_EQ(kept.bytes, image);
    EXPECT_TRUE(digest.bytes.empty());
    for (const FlashRecord* record : {&kept, &digest}) {
        EXPECT_EQ(record->code, kCmdWriteFirstPartition);
        EXPECT_EQ(record->kind, 3u);
        EXPECT_EQ(record->length, image.size());
        EXPECT_EQ(record->byteSum, ByteSum32(image.data(), image.size()));
        EXPECT_EQ(record->digest, StreamDigest::Of(image));
    }
}

TEST(StreamDigest, DependsOnTheBytesNotOnTheirSplit) {
    const std::vector<uint8_t> bytes = PatternBytes(10'000, 2);
    const uint64_t whole = StreamDigest::Of(bytes);
    for (const size_t step : {1, 7, 31, 32, 33, 2032}) {
        StreamDigest digest;
        for (size_t at = 0; at < bytes.size(); at += step) {
            digest.Update(bytes.data() + at, std::min(step, bytes.size() - at));
        }
        EXPECT_EQ(digest.Value(), whole) << "step " << step;
        EXPECT_EQ(digest.Length(), bytes.size());
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    std::vector<uint8_t> changed = bytes;
    changed[5000] ^= 1;
    std::vector<uint8_t> swapped = bytes;
    std::swap(swapped[0], swapped[8]);
    EXPECT_NE(StreamDigest::Of(longer), whole);
    EXPECT_NE(StreamDigest::Of(changed), whole);
    EXPECT_NE(StreamDigest::Of(swapped), whole);
    EXPECT_NE(StreamDigest::Of(std::vector<uint8_t>{}), StreamDigest::Of(std::vector<uint8_t>{0}));
}

TEST(VirtualHandset, CheckWordSumsTheFlashWritesSinceTheBeginMarker) {
    HandsetConfig config;
    config.faults.wrongCheckWordAt = 1;
    HandsetDriver driver(config);
    const std::vector<uint8_t> early = PatternBytes(3000, 1);
    const std::vector<uint8_t> first = PatternBytes(5000, 2);
    const std::vector<uint8_t> second = PatternBytes(700, 3);
    driver.Download(early);
    driver.Packet(kCmdWritePdaPiece, 0, 3000, 0);
    driver.Packet(kCmdMarker, 3, 4300, kPhasePartitionBegin);
    driver.Download(first, 3);
    driver.Packet(kCmdWriteFirstPartition, 0, 5000, 0);
    driver.Download(second, 3);
    driver.Packet(kCmdWriteFirstPartition, 0, 700, 1);
    driver.TakeAll();
    const uint32_t sum =
        ByteSum32(first.data(), first.size()) + ByteSum32(second.data(), second.size());
    driver.Packet(kCmdMarker, 3, sum, kPhasePartitionEnd);
    EXPECT_EQ(driver.TakeWords(), (std::vector<uint32_t>{kCmdMarker, sum}));
    driver.Packet(kCmdMarker, 3, sum, kPhasePartitionEnd);
    EXPECT_EQ(driver.TakeWords(), (std::vector<uint32_t>{kCmdMarker, ~sum}));
}

TEST(VirtualHandset, SmdRangesThenOkud) {
    HandsetConfig config;
    config.smdRanges = {{100, 1900}, {5000, 2}};
    HandsetDriver driver(config);
    for (int request = 0; request < 4; ++request) {
        driver.Packet(kCmdSmdNextRange);
    }
    EXPECT_EQ(driver.TakeWords(),
              (std::vector<uint32_t>{100, 1900, 5000, 2, Word("OKUD"), Word("OKUD")}));

    const std::vector<uint8_t> blocks = PatternBytes(2 * kSmdBlockSize, 6);
    driver.Download(blocks, 5);
    driver.Packet(kCmdSmdWriteBlocks, 0, 2, 5000);
    const FlashRecord record = driver.handset.Flashed().at(0);
    EXPECT_EQ(record.a3, 5000u);
    EXPECT_EQ(record.bytes, blocks);
}

TEST(VirtualHandset, FlashProgressAndRepliesFollowTheTimingModel) {
    HandsetConfig config;
    config.timing.roundTripMicros = 250;
    config.timing.flashBytesPerSecond = 1'000'000;
    config.flashProgress = {50};
    HandsetDriver driver(config);
    driver.Packet(kCmdQueryVersion);
    const auto origin = HandsetDriver::kOrigin;
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(249)), 0u);
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(250)), 4u);
    driver.TakeAll();

    driver.Download(PatternBytes(4000));
    driver.TakeAll();
    driver.Packet(kCmdWriteCsc, 0, 4000, 0);  // 4000 bytes at 1 MB/s: 4000 us of flashing
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(250)), 4u);
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(2249)), 4u);
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(2250)), 8u);
    EXPECT_EQ(driver.replies.ReadyBytes(origin + microseconds(4250)), 12u);
    EXPECT_EQ(driver.TakeAll().substr(4), std::string("OKU") + char{50} + "OKDN");
}

TEST(VirtualHandset, ShortMissingAndStalledReplies) {
    HandsetConfig config;
    config.smdRanges = {{1, 2}};
    config.faults.shortReplyAt = 0;
    config.faults.missingReplyAt = 1;
    config.faults.stallAt = 3;
    HandsetDriver driver(config);
    driver.Packet(kCmdSmdNextRange);
    EXPECT_EQ(driver.replies.Size(), 2u);
    driver.TakeAll();
    driver.Packet(kCmdLaunch, 0x80028000);
    EXPECT_TRUE(driver.replies.Empty());
    EXPECT_TRUE(driver.handset.Launched());
    driver.Packet(kCmdQueryVersion);
    EXPECT_EQ(driver.replies.Size(), 4u);
    driver.TakeAll();
    driver.Packet(kCmdQueryVersion);
    driver.Handshake();
    EXPECT_TRUE(driver.replies.Empty());
    EXPECT_EQ(driver.handset.Commands().size(), 3u);
}

TEST(VirtualHandset, FailedFlashWritesFlashNothing) {
    HandsetConfig config;
    config.flashProgress = {10, 20};
    config.faults.flashWrongEchoAt = 1;
    config.faults.flashFailAt = 2;
    config.faults.flashNoAckAt = 3;
    HandsetDriver driver(config);
    driver.Download(PatternBytes(50));
    driver.TakeAll();
    for (uint32_t write = 0; write < 4; ++write) {
        driver.Packet(kCmdWriteLangPack, 0, 50, 0x70 + write);
    }
    const std::string expected = std::string("\x70\0\0\0", 4) + "OKU\x0aOKU\x14OKDN" +
                                 std::string("\x8e\xff\xff\xff", 4) + std::string("\x72\0\0\0", 4) +
                                 "OKU\x0aOKU\x69" + std::string("\x73\0\0\0", 4) + "OKU\x0aOKDX";
    EXPECT_EQ(driver.TakeAll(), expected);
    ASSERT_EQ(driver.handset.Flashed().size(), 1u);
    EXPECT_EQ(driver.handset.Flashed()[0].a3, 0x70u);
}

TEST(VirtualHandset, ReattachSwitchesVersionAndLeaves) {
    HandsetConfig config;
    config.faults.reattachDelayMs = 3000;
    HandsetDriver driver(config);
    const HostWriteResult result = driver.Packet(kCmdPrepareReattach);
    EXPECT_EQ(result.exit, HandsetExit::kReattach);
    EXPECT_EQ(result.reattachDelayMs, 3000u);
    EXPECT_EQ(driver.TakeWords(), (std::vector<uint32_t>{kCmdPrepareReattach}));
    EXPECT_EQ(driver.handset.CurrentVersion(), 0x20100101u);

    config.faults.neverReattach = true;
    HandsetDriver gone(config);
    EXPECT_EQ(gone.Packet(kCmdPrepareReattach).exit, HandsetExit::kLeave);
}

TEST(VirtualHandset, DisconnectsDuringTheWriteThatPassesTheByteCount) {
    HandsetConfig config;
    config.faults.disconnectAfterBytes = 4 + kPacketSize;
    HandsetDriver driver(config);
    EXPECT_EQ(driver.Handshake().exit, HandsetExit::kStay);
    EXPECT_EQ(driver.Packet(kCmdJobPlan).exit, HandsetExit::kStay);
    EXPECT_EQ(driver.Packet(kCmdLaunch).exit, HandsetExit::kUnplug);
    EXPECT_FALSE(driver.handset.Launched());
    EXPECT_EQ(driver.handset.HostBytesReceived(), 4u + kPacketSize);
}

}  // namespace
}  // namespace varnel
