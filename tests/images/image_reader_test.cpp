// The layout readers on damaged files: every size and offset is checked against the end of its
// region before it is used.
#include "images/image_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "images/built_image.h"
#include "images/image_file.h"

namespace varnel {
namespace {

using testing::BuildBytes;
using testing::PutLe32;

class ImageReaderTest : public ::testing::Test {
  protected:
    void Open(const std::vector<uint8_t>& bytes) {
        scratch_ = std::make_unique<TempFile>(bytes);
        ASSERT_TRUE(file_.Open(scratch_->Path()));
    }

    std::unique_ptr<TempFile> scratch_;
    ImageFile file_;
    std::string error_;
};

ImageSpec PdaSpec(bool langpack) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = 1000;
    spec.pda.langpack = langpack;
    spec.pda.langpackSize = 500;
    return spec;
}

TEST(ImageLayoutTest, FieldsAtTheirOffsets) {
    uint8_t bytes[kPdaHeaderSize] = {};
    StoreLe32(bytes, kPdaStartMark);
    StoreLe32(bytes + 4, 0x1234);
    StoreLe32(bytes + 8, 0x8C000000);
    StoreLe32(bytes + 12, 0xCAFEF00D);
    std::memcpy(bytes + 44, "OSVER", 5);
    std::memcpy(bytes + 60, "HWIDHWID", 8);  // fills the field: no NUL
    StoreLe32(bytes + 252, kPdaEndMark);
    PdaHeader header;
    ASSERT_TRUE(PdaHeader::Parse(bytes, sizeof bytes, header));
    EXPECT_TRUE(header.MarksValid());
    EXPECT_EQ(header.Size, 0x1234u);
    EXPECT_EQ(header.dwStartParam, 0x8C000000u);
    EXPECT_EQ(header.dwCheckWord, 0xCAFEF00Du);
    EXPECT_EQ(FieldText(header.BSP_OSVER), "OSVER");
    EXPECT_EQ(FieldText(header.BSP_HW_ID), "HWIDHWID");  // cut at the field, not beyond
    EXPECT_FALSE(PdaHeader::Parse(bytes, sizeof bytes - 1, header));

    uint8_t stored[kPdaHeaderSize];
    header.Store(stored);
    EXPECT_EQ(std::memcmp(stored, bytes, sizeof bytes), 0);

    // Identifiers stand low byte first in the file.
    EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>("IDJB")), kImageHeaderId);
    EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>("KVTS")), kSingleTelvikId);
    EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>("STNC")), kContentsId);
}

TEST(ImageLayoutTest, ImageHeaderComponentFields) {
    sImageHeader header;
    header.dwId = kImageHeaderId;
    header.Component[kComponentPhone] = {0x100, 0x200};
    header.Component[kComponentContents] = {0x300, 0x400};
    uint8_t bytes[kImageHeaderSize];
    header.Store(bytes);
    EXPECT_EQ(LoadLe32(bytes + 52), 0x100u);
    EXPECT_EQ(LoadLe32(bytes + 56), 0x200u);
    EXPECT_EQ(LoadLe32(bytes + 88), 0x300u);
    EXPECT_EQ(LoadLe32(bytes + 92), 0x400u);
    sImageHeader parsed;
    ASSERT_TRUE(sImageHeader::Parse(bytes, sizeof bytes, parsed));
    EXPECT_TRUE(parsed.IdValid());
    EXPECT_FALSE(parsed.Of(kComponentEboot).Present());
    EXPECT_EQ(parsed.Of(kComponentContents).End(), 0x704u);
}

TEST_F(ImageReaderTest, PdaHeaderDamage) {
    auto bytes = BuildBytes(PdaSpec(false));
    PutLe32(bytes, PdaHeader::kEndMarkOffset, 0);
    Open(bytes);
    PdaLayout layout;
    EXPECT_FALSE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_));
    EXPECT_EQ(error_, "the PDA header at 0x0 has wrong marks (0x55555555, 0x00000000)");

    Open(std::vector<uint8_t>(kPdaHeaderSize - 1, 0x55));
    EXPECT_FALSE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_));
    EXPECT_EQ(error_, "the PDA header at 0x0 is cut short by the end of the image");

    bytes = BuildBytes(PdaSpec(false));
    PutLe32(bytes, PdaHeader::kSizeOffset, 0xFFFFFFFF);
    Open(bytes);
    EXPECT_FALSE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_));
    EXPECT_EQ(error_, "the PDA data (0xffffffff bytes at 0x100) runs past the end of the image");
}

TEST_F(ImageReaderTest, LangpackPresenceAndDamage) {
    auto bytes = BuildBytes(PdaSpec(true));
    const size_t langpackAt = kPdaHeaderSize + 1000;
    PdaLayout layout;

    // Cut inside the LANGPACK's data: present but truncated.
    auto cut = bytes;
    cut.resize(cut.size() - 1);
    Open(cut);
    EXPECT_FALSE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_));
    EXPECT_EQ(error_, "the LANGPACK data (0x1f4 bytes at 0x5e8) runs past the end of the image");

    // Cut inside the LANGPACK's header, or a wrong mark: no LANGPACK, the PDA is fine.
    cut.resize(langpackAt + 100);
    Open(cut);
    ASSERT_TRUE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_)) << error_;
    EXPECT_FALSE(layout.hasLangpack);
    PutLe32(bytes, langpackAt + PdaHeader::kEndMarkOffset, 0xEEEEEEEF);
    Open(bytes);
    ASSERT_TRUE(ReadPdaLayout(file_, 0, file_.Length(), layout, error_));
    EXPECT_FALSE(layout.hasLangpack);

    // The region's end bounds the walk, not the file's: a PDA component is followed by others.
    bytes = BuildBytes(PdaSpec(true));
    Open(bytes);
    EXPECT_FALSE(ReadPdaLayout(file_, 0, langpackAt + kPdaHeaderSize + 100, layout, error_));
    ASSERT_TRUE(ReadPdaLayout(file_, 0, langpackAt + 100, layout, error_));
    EXPECT_FALSE(layout.hasLangpack);
}

TEST_F(ImageReaderTest, TelvikLengthsAreChecked) {
    ImageSpec spec;
    spec.format = ImageFormat::kTelvik;
    spec.telvik.firstSize = 100;
    spec.telvik.secondSize = 100;
    const auto good = BuildBytes(spec);
    TelvikLayout layout;
    const struct {
        size_t offset;
        uint32_t value;
        const char* error;
    } cases[] = {
        {TelvikHeader::kFirstLenOffset, 0x5FF,
         "the first part (0x5ff bytes) is shorter than its 0x600-byte preamble"},
        {TelvikHeader::kSecondLenOffset, 0x3FF,
         "the second part (0x3ff bytes) is shorter than its 0x400-byte preamble"},
        {TelvikHeader::kSecondLenOffset, 0,
         "the second part (0x0 bytes) is shorter than its 0x400-byte preamble"},
        // 0x200 + 0xFFFFFFFF would wrap a 32-bit sum.
        {TelvikHeader::kFirstLenOffset, 0xFFFFFFFF,
         "the first part (0xffffffff bytes at 0x200) runs past the end of the image"},
        {TelvikHeader::kSecondLenOffset, 0xFFFFFC00,
         "the second part (0xfffffc00 bytes at 0x864) runs past the end of the image"},
    };
    for (const auto& c : cases) {
        auto bytes = good;
        PutLe32(bytes, c.offset, c.value);
        Open(bytes);
        EXPECT_FALSE(ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kTwo, layout, error_));
        EXPECT_EQ(error_, c.error);
    }
    // A Contents image ignores the second part's length.
    auto bytes = good;
    PutLe32(bytes, TelvikHeader::kSecondLenOffset, 0);
    Open(bytes);
    EXPECT_TRUE(
        ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kFirstOnly, layout, error_));

    Open(std::vector<uint8_t>(kTelvikHeaderSize - 1, 0));
    EXPECT_FALSE(ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kTwo, layout, error_));
    EXPECT_EQ(error_, "the Telvik header at 0x0 is cut short by the end of the image");
}

TEST_F(ImageReaderTest, ComponentChecks) {
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    spec.integrated.eboot = 100;
    spec.integrated.phone = 100;
    auto bytes = BuildBytes(spec);
    const size_t trailer = bytes.size() - kImageHeaderSize;
    const size_t phoneField = trailer + ComponentInfoOf(kComponentPhone).headerOffset;
    const uint32_t phoneOffset = LoadLe32(bytes.data() + phoneField);
    PutLe32(bytes, phoneOffset, kEbootId);  // the Phone part carries the wrong identifier
    Open(bytes);
    sImageHeader header;
    ASSERT_EQ(ReadImageHeader(file_, header), ImageHeaderRead::kOk);
    EXPECT_EQ(LocateComponent(file_, header, kComponentEboot), ComponentCheck::kOk);
    EXPECT_EQ(file_.Position(), header.Of(kComponentEboot).DataOffset());
    EXPECT_EQ(LocateComponent(file_, header, kComponentPhone), ComponentCheck::kBadId);
    EXPECT_EQ(LocateComponent(file_, header, kComponentPda), ComponentCheck::kAbsent);

    PutLe32(bytes, phoneField + 4, static_cast<uint32_t>(bytes.size()));
    Open(bytes);
    ASSERT_EQ(ReadImageHeader(file_, header), ImageHeaderRead::kOk);
    EXPECT_EQ(LocateComponent(file_, header, kComponentPhone), ComponentCheck::kBeyondEnd);
    EXPECT_FALSE(CheckComponentExtents(header, file_.Length(), error_));

    PutLe32(bytes, trailer, 0);
    Open(bytes);
    EXPECT_EQ(ReadImageHeader(file_, header), ImageHeaderRead::kBadId);
    Open(std::vector<uint8_t>(kImageHeaderSize - 1, 0));
    EXPECT_EQ(ReadImageHeader(file_, header), ImageHeaderRead::kTooShort);
}

TEST_F(ImageReaderTest, SmdBlocks) {
    uint64_t blocks = 0;
    EXPECT_TRUE(SmdBlockCount(kSmdHeaderSize, blocks, error_));
    EXPECT_EQ(blocks, 0u);
    EXPECT_TRUE(SmdBlockCount(kSmdHeaderSize + 2 * uint64_t{kSmdBlockSize}, blocks, error_));
    EXPECT_EQ(blocks, 2u);
    EXPECT_FALSE(SmdBlockCount(kSmdHeaderSize + kSmdBlockSize + 5, blocks, error_));
    EXPECT_EQ(error_, "the file ends 0x5 bytes into NAND block 1");
    EXPECT_FALSE(SmdBlockCount(kSmdHeaderSize - 1, blocks, error_));
}

}  // namespace
}  // namespace varnel
