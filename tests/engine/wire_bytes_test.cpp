// The wire and the file layouts pinned with literal bytes, so that a fault shared by the encoder
// and the decoder (or the image builder) cannot hide.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "engine/attach.h"
#include "engine/download_worker.h"
#include "engine/protocol.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/image_layouts.h"
#include "support/recording_status.h"
#include "support/sim_port.h"
#include "support/temp_file.h"

namespace varnel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

void Put(Bytes& bytes, size_t at, std::initializer_list<uint8_t> values) {
    std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

void PutText(Bytes& bytes, size_t at, const char* text) {
    std::memcpy(bytes.data() + at, text, std::strlen(text));
}

struct OpenTap {
    SimPort port;
    TapTransport tap{port.bus};
    OpenTap() { EXPECT_TRUE(tap.Open(GUID_BOOTLOADER_INTERFACE, port.path.c_str())); }
};

TEST(WireBytes, EveryCommandPacketIsCodeThenThreeArgumentsLittleEndianInTwoKilobytes) {
    const struct {
        uint32_t code;
        uint8_t low, high;
    } commands[] = {
        {kCmdRamChunk, 0x01, 0x00},
        {kCmdLaunch, 0x02, 0x00},
        {kCmdWriteEboot, 0x04, 0x00},
        {kCmdJobPlan, 0x05, 0x00},
        {kCmdBeginRamDownload, 0x07, 0x00},
        {kCmdMarker, 0x08, 0x00},
        {kCmdSelectLanguage, 0x09, 0x00},
        {kCmdQueryVersion, 0x0D, 0x00},
        {kCmdWritePhone, 0xEC, 0x03},
        {kCmdWriteCsc, 0xED, 0x03},
        {kCmdWritePdaPiece, 0xEE, 0x03},
        {kCmdWriteLangPack, 0xEF, 0x03},
        {kCmdWriteFirstPartition, 0xF0, 0x03},
        {kCmdWriteSecondPartition, 0xF5, 0x03},
        {kCmdWriteSinglePartition, 0xF6, 0x03},
        {kCmdSmdStart, 0xFC, 0x03},
        {kCmdNandFormat, 0xFD, 0x03},
        {kCmdSmdNextRange, 0xFE, 0x03},
        {kCmdSmdWriteBlocks, 0xFF, 0x03},
        {kCmdPrepareReattach, 0x14, 0x00},
    };
    OpenTap wire;
    for (const auto& command : commands) {
        ASSERT_TRUE(PostCommand(wire.tap, command.code, 0x04030201, 0x08070605, 0x0C0B0A09));
    }
    const auto writes = wire.tap.Writes();
    ASSERT_EQ(writes.size(), std::size(commands));
    for (size_t index = 0; index < writes.size(); ++index) {
        SCOPED_TRACE(commands[index].code);
        ASSERT_EQ(writes[index].size(), 2048u);
        EXPECT_EQ(Slice(writes[index], 0, 16), (Bytes{commands[index].low, commands[index].high, 0,
                                                      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
        EXPECT_EQ(Slice(writes[index], 16, 2048), Bytes(2032, 0));
    }
}

TEST(WireBytes, RamChunkCarriesAddressLengthSumAndData) {
    OpenTap wire;
    Bytes image(2032 + 3, 0x01);
    Put(image, 2032, {'a', 'b', 'c'});
    TempFile temp(image);
    ImageFile file;
    ASSERT_TRUE(file.Open(temp.Path()));
    RecordingStatusSink sink;
    int errorSource = -1;
    ASSERT_EQ(DownloadToRam(wire.tap, 0, sink, file, 0, image.size(), 0x80000000, 1, errorSource),
              0u);

    const auto writes = wire.tap.Writes();
    ASSERT_EQ(writes.size(), 3u);
    // Begin: kind 1, one full chunk.
    EXPECT_EQ(Slice(writes[0], 0, 16), (Bytes{7, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    // A full chunk: 2032 (0x7F0) bytes of 0x01 sum to 0x7F0.
    EXPECT_EQ(Slice(writes[1], 0, 16),
              (Bytes{1, 0, 0, 0, 0, 0, 0, 0x80, 0xF0, 0x07, 0, 0, 0xF0, 0x07, 0, 0}));
    EXPECT_EQ(Slice(writes[1], 16, 2048), Bytes(2032, 0x01));
    // The tail: "abc" sums to 0x126, at the address after the first chunk.
    EXPECT_EQ(Slice(writes[2], 0, 19), (Bytes{1, 0, 0, 0, 0xF0, 0x07, 0, 0x80, 3, 0, 0, 0, 0x26,
                                              0x01, 0, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(writes[2].size(), 2048u);
}

TEST(WireBytes, HeaderFieldsAreReadFromTheirOffsets) {
    Bytes pda(256, 0);
    Put(pda, 0, {0x55, 0x55, 0x55, 0x55});
    Put(pda, 4, {0x10, 0x20, 0x30, 0x00});
    Put(pda, 8, {0x01, 0x02, 0x03, 0x04});
    Put(pda, 12, {0xAA, 0xBB, 0xCC, 0xDD});
    PutText(pda, 44, "OSVER");
    PutText(pda, 60, "HWID");
    PutText(pda, 68, "PACKNAME");
    Put(pda, 252, {0xEE, 0xEE, 0xEE, 0xEE});
    PdaHeader pdaHeader;
    ASSERT_TRUE(PdaHeader::Parse(pda.data(), pda.size(), pdaHeader));
    EXPECT_TRUE(pdaHeader.MarksValid());
    EXPECT_EQ(pdaHeader.Size, 0x302010u);
    EXPECT_EQ(pdaHeader.dwStartParam, 0x04030201u);
    EXPECT_EQ(pdaHeader.dwCheckWord, 0xDDCCBBAAu);
    EXPECT_STREQ(pdaHeader.BSP_OSVER, "OSVER");
    EXPECT_STREQ(pdaHeader.BSP_HW_ID, "HWID");
    EXPECT_STREQ(pdaHeader.Name, "PACKNAME");

    Bytes telvik(512, 0);
    Put(telvik, 16, {0x00, 0x06, 0x01, 0x00});
    Put(telvik, 20, {0x11, 0x11, 0x11, 0x11});
    Put(telvik, 28, {0x00, 0x04, 0x02, 0x00});
    Put(telvik, 32, {0x22, 0x22, 0x22, 0x22});
    TelvikHeader telvikHeader;
    ASSERT_TRUE(TelvikHeader::Parse(telvik.data(), telvik.size(), telvikHeader));
    EXPECT_EQ(telvikHeader.dwFirstLen, 0x10600u);
    EXPECT_EQ(telvikHeader.dwFirstCheck, 0x11111111u);
    EXPECT_EQ(telvikHeader.dwSecondLen, 0x20400u);
    EXPECT_EQ(telvikHeader.dwSecondCheck, 0x22222222u);

    Bytes trailer(128, 0);
    PutText(trailer, 0, "IDJB");
    const struct {
        ComponentKind kind;
        size_t at;
    } components[] = {{kComponentEboot, 8},    {kComponentPda, 20},    {kComponentCsc, 32},
                      {kComponentPhone, 52},   {kComponentTelvik, 64}, {kComponentSingleTelvik, 76},
                      {kComponentContents, 88}};
    for (uint8_t index = 0; index < std::size(components); ++index) {
        Put(trailer, components[index].at, {index, 0x01, 0, 0});
        Put(trailer, components[index].at + 4, {index, 0x02, 0, 0});
    }
    sImageHeader imageHeader;
    ASSERT_TRUE(sImageHeader::Parse(trailer.data(), trailer.size(), imageHeader));
    EXPECT_EQ(imageHeader.dwId, 0x424A4449u);
    for (uint8_t index = 0; index < std::size(components); ++index) {
        SCOPED_TRACE(components[index].at);
        EXPECT_EQ(imageHeader.Of(components[index].kind).dwOffset, 0x100u + index);
        EXPECT_EQ(imageHeader.Of(components[index].kind).dwSize, 0x200u + index);
    }

    Bytes csc(128, 0);
    Put(csc, 0, {0xCC, 0xCC, 0xCC, 0xCC});
    PutText(csc, 8, "VERSION");
    PutText(csc, 24, "040C");
    Put(csc, 36, {7, 5, 0xFF});
    Put(csc, 64, {5, 7, 0xFF});
    PutText(csc, 92, "XEU");
    Put(csc, 104, {0x3});
    Put(csc, 108, {0x02, 0x01, 0, 0});
    Put(csc, 124, {0xEE, 0xEE, 0xEE, 0xEE});
    CscHeader cscHeader;
    ASSERT_TRUE(CscHeader::Parse(csc.data(), csc.size(), cscHeader));
    EXPECT_TRUE(cscHeader.MarksValid());
    EXPECT_STREQ(cscHeader.Version, "VERSION");
    EXPECT_STREQ(cscHeader.DefaultLang, "040C");
    EXPECT_EQ(cscHeader.SupportLanguage[1], 5);
    EXPECT_EQ(cscHeader.ImageOptionalLanglist[1], 7);
    EXPECT_STREQ(cscHeader.SalesCode, "XEU");
    EXPECT_EQ(cscHeader.Priority, 3);
    EXPECT_EQ(cscHeader.FileCnt, 0x102u);

    Bytes multi(128, 0);
    Put(multi, 0, {0xAA, 0xAA, 0xAA, 0xAA});
    Put(multi, 36, {0x03, 0, 0, 0});
    Put(multi, 124, {0xBB, 0xBB, 0xBB, 0xBB});
    MultiCscHeader multiHeader;
    ASSERT_TRUE(MultiCscHeader::Parse(multi.data(), multi.size(), multiHeader));
    EXPECT_TRUE(multiHeader.MarksValid());
    EXPECT_EQ(multiHeader.FileCnt, 3u);

    Bytes entry(128, 0);
    Put(entry, 0, {0xBB, 0xBB, 0xAA, 0xAA});
    PutText(entry, 4, "EUR");
    Put(entry, 36, {0x00, 0x10, 0, 0});
    Put(entry, 40, {0x02, 0, 0, 0});
    CscFileEntry fileEntry;
    ASSERT_TRUE(CscFileEntry::Parse(entry.data(), entry.size(), fileEntry));
    EXPECT_EQ(fileEntry.dwMark, 0xAAAABBBBu);
    EXPECT_STREQ(fileEntry.FileName, "EUR");
    EXPECT_EQ(fileEntry.FileSize, 0x1000u);
    EXPECT_EQ(fileEntry.Span(), 0x40000u);
}

// The third argument of command 5: each ticked box alone sets its own bit of the option word.
TEST(WireBytes, EachOptionBoxAloneSetsItsBitOfTheOptionWord) {
    const struct {
        std::atomic<int> DownloadJob::*box;
        uint32_t bit;
    } boxes[] = {
        {&DownloadJob::m_bEraseCsc, 0x2},         {&DownloadJob::m_bEraseNvData, 0x4},
        {&DownloadJob::m_bEraseNvBackup, 0x8},    {&DownloadJob::m_bEraseNvPda, 0x10},
        {&DownloadJob::m_bEfsClear, 0x20},        {&DownloadJob::m_bWriteModemNv, 0x40},
        {&DownloadJob::m_bKeepEbootCfg, 0x80},    {&DownloadJob::m_bSetPriorityBit, 0x200},
        {&DownloadJob::m_bSkipOsUpdate, 0x400},   {&DownloadJob::m_bPreserveContents, 0x800},
        {&DownloadJob::m_bSmdCheck, 0x1000},      {&DownloadJob::m_bUpdatePhoneBoot, 0x80000000},
        {&DownloadJob::m_bStartImmediately, 0x0}, {&DownloadJob::m_bSkipBootWait, 0x0},
    };
    g_nCscType = kCscUnknown;
    g_nTelvikType = kTelvikNone;
    for (const auto& box : boxes) {
        SCOPED_TRACE(box.bit);
        DownloadJob job;
        (job.*box.box) = 1;
        EXPECT_EQ(AttachOptionBits(job), box.bit);
    }

    // 0x400 also follows the chosen images: a single-partition Telvik, or a single CSC
    // without a Telvik image.
    const DownloadJob none;
    const struct {
        int csc, telvik;
        uint32_t bits;
    } images[] = {{kCscUnknown, kTelvikSingle, 0x400},
                  {kCscSingle, kTelvikNone, 0x400},
                  {kCscSingle, kTelvikMulti, 0x0},
                  {kCscMulti, kTelvikNone, 0x0}};
    for (const auto& chosen : images) {
        SCOPED_TRACE(chosen.csc * 10 + chosen.telvik);
        g_nCscType = chosen.csc;
        g_nTelvikType = chosen.telvik;
        EXPECT_EQ(AttachOptionBits(none), chosen.bits);
    }
    g_nCscType = kCscUnknown;
    g_nTelvikType = kTelvikNone;
}

TEST(WireBytes, SizesAreTheHandsetsOwn) {
    EXPECT_EQ(kFlashPieceSize, 0x9EC0000u);
    EXPECT_EQ(kFlashPieceSize, 81920u * 2032u);
    EXPECT_EQ(kSmdBlocksPerLoad, 800u);
    EXPECT_EQ(kSmdBlockSize, 0x21000u);
    EXPECT_EQ(kSmdHeaderSize, 2048u);
    EXPECT_EQ(WorkerServices{}.pieceSize, 0x9EC0000u);
    EXPECT_EQ(WorkerServices{}.smdBlocksPerLoad, 800u);
}

}  // namespace
}  // namespace varnel
