// Round trips: images made by the builder read back through the layout readers, with check
// words that match an independent sum of the bytes the layouts say are sent.
#include "sim/image_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/built_image.h"
#include "images/bytesum.h"
#include "images/image_file.h"
#include "images/image_reader.h"

namespace varnel {
namespace {

using testing::BuildBytes;
using testing::ReferenceSum;

class BuiltImageTest : public ::testing::Test {
  protected:
    // Builds `spec`, keeps its bytes and opens it.
    void Build(const ImageSpec& spec) {
        bytes_ = BuildBytes(spec, &manifest_);
        scratch_ = std::make_unique<TempFile>(bytes_);
        ASSERT_TRUE(file_.Open(scratch_->Path()));
    }
    uint32_t SumOf(uint64_t offset, uint64_t length) const {
        EXPECT_LE(offset + length, bytes_.size());
        return ReferenceSum(bytes_.data() + offset, static_cast<size_t>(length));
    }
    // The manifest region `name` lies where `offset` and `length` say and sums to `sum`.
    void ExpectRegion(const std::string& name, uint64_t offset, uint64_t length, uint32_t sum) {
        const ImageRegion* region = manifest_.Find(name);
        ASSERT_NE(region, nullptr) << name;
        EXPECT_EQ(region->offset, offset) << name;
        EXPECT_EQ(region->length, length) << name;
        EXPECT_EQ(region->byteSum, sum) << name;
        EXPECT_EQ(SumOf(offset, length), sum) << name;
    }

    std::vector<uint8_t> bytes_;
    ImageManifest manifest_;
    std::unique_ptr<TempFile> scratch_;
    ImageFile file_;
};

TEST_F(BuiltImageTest, RawImagesAndTheWholeFileSum) {
    for (const auto format :
         {ImageFormat::kEboot, ImageFormat::kPhone, ImageFormat::kSingleTelvik}) {
        ImageSpec spec;
        spec.format = format;
        spec.rawSize = 5000;
        spec.seed = 3;
        Build(spec);
        EXPECT_EQ(bytes_.size(), 5000u);
        EXPECT_EQ(manifest_.fileSum, SumOf(0, bytes_.size()));
        EXPECT_EQ(FileByteSum(file_), manifest_.fileSum);
        ASSERT_EQ(manifest_.regions.size(), 1u);
        EXPECT_EQ(manifest_.regions[0].byteSum, manifest_.fileSum);
    }
    // The seed changes the contents; the same seed gives the same bytes.
    ImageSpec spec;
    spec.seed = 3;
    const auto again = BuildBytes(spec);
    spec.seed = 4;
    EXPECT_NE(BuildBytes(spec), again);
}

TEST_F(BuiltImageTest, PdaWithLangpack) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = 3000;
    spec.pda.langpack = true;
    spec.pda.langpackSize = 700;
    spec.pda.langpackName = "LP-KOR";
    Build(spec);
    PdaLayout layout;
    std::string error;
    ASSERT_TRUE(ReadPdaLayout(file_, 0, file_.Length(), layout, error)) << error;
    EXPECT_EQ(layout.header.Size, 3000u);
    EXPECT_EQ(layout.header.dwStartParam, spec.pda.startParam);
    EXPECT_EQ(layout.header.dwCheckWord, SumOf(kPdaHeaderSize, 3000));
    EXPECT_EQ(FieldText(layout.header.BSP_OSVER), "OS-1.0");
    EXPECT_EQ(FieldText(layout.header.BSP_HW_ID), "HW-01");
    ASSERT_TRUE(layout.hasLangpack);
    EXPECT_EQ(layout.langpackDataOffset, 2 * kPdaHeaderSize + 3000);
    EXPECT_EQ(layout.langpack.Size, 700u);
    EXPECT_EQ(layout.langpack.dwCheckWord, SumOf(layout.langpackDataOffset, 700));
    EXPECT_EQ(FieldText(layout.langpack.Name), "LP-KOR");
    EXPECT_EQ(bytes_.size(), layout.langpackDataOffset + 700);
    ExpectRegion("pda.data", kPdaHeaderSize, 3000, layout.header.dwCheckWord);
    ExpectRegion("langpack.data", layout.langpackDataOffset, 700, layout.langpack.dwCheckWord);
}

TEST_F(BuiltImageTest, PdaWithoutLangpack) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    Build(spec);
    PdaLayout layout;
    std::string error;
    ASSERT_TRUE(ReadPdaLayout(file_, 0, file_.Length(), layout, error)) << error;
    EXPECT_FALSE(layout.hasLangpack);
    EXPECT_EQ(bytes_.size(), kPdaHeaderSize + spec.pda.dataSize);
}

TEST_F(BuiltImageTest, TelvikPartsAndPreambles) {
    ImageSpec spec;
    spec.format = ImageFormat::kTelvik;
    spec.telvik.firstSize = 10000;
    spec.telvik.secondSize = 7000;
    Build(spec);
    TelvikLayout layout;
    std::string error;
    ASSERT_TRUE(ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kTwo, layout, error))
        << error;
    EXPECT_EQ(layout.header.dwFirstLen, 0x600u + 10000);
    EXPECT_EQ(layout.firstDataOffset, 0x800u);
    EXPECT_EQ(layout.firstDataLength, 10000u);
    EXPECT_EQ(layout.header.dwFirstCheck, SumOf(0x800, 10000));
    EXPECT_EQ(layout.header.dwSecondLen, 0x400u + 7000);
    EXPECT_EQ(layout.secondDataOffset, layout.header.dwFirstLen + 0x600u);
    EXPECT_EQ(layout.header.dwSecondCheck, SumOf(layout.secondDataOffset, 7000));
    EXPECT_EQ(bytes_.size(), 512u + 0x600 + 10000 + 0x400 + 7000);
    ExpectRegion("telvik.first", 0x800, 10000, layout.header.dwFirstCheck);
    ExpectRegion("telvik.second", layout.secondDataOffset, 7000, layout.header.dwSecondCheck);
}

TEST_F(BuiltImageTest, TelvikWithoutFirstPartAndContents) {
    ImageSpec spec;
    spec.format = ImageFormat::kTelvik;
    spec.telvik.hasFirst = false;
    spec.telvik.secondSize = 3000;
    Build(spec);
    TelvikLayout layout;
    std::string error;
    ASSERT_TRUE(ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kTwo, layout, error));
    EXPECT_FALSE(layout.hasFirst);
    EXPECT_EQ(layout.header.dwFirstLen, 0u);
    EXPECT_EQ(layout.secondDataOffset, 0x600u);
    EXPECT_EQ(layout.header.dwSecondCheck, SumOf(0x600, 3000));
    EXPECT_EQ(manifest_.Find("telvik.first"), nullptr);

    spec.format = ImageFormat::kContents;
    spec.telvik.hasFirst = true;
    spec.telvik.firstSize = 4000;
    Build(spec);
    ASSERT_TRUE(ReadTelvikLayout(file_, 0, file_.Length(), TelvikParts::kFirstOnly, layout, error));
    EXPECT_EQ(layout.header.dwSecondLen, 0u);
    EXPECT_EQ(layout.header.dwFirstCheck, SumOf(0x800, 4000));
    EXPECT_EQ(bytes_.size(), 0x800u + 4000);
    ExpectRegion("contents.first", 0x800, 4000, layout.header.dwFirstCheck);
}

TEST_F(BuiltImageTest, SmdHeaderAndBlocks) {
    ImageSpec spec;
    spec.format = ImageFormat::kSmd;
    spec.smdBlocks = 3;
    Build(spec);
    uint64_t blocks = 0;
    std::string error;
    ASSERT_TRUE(SmdBlockCount(file_.Length(), blocks, error)) << error;
    EXPECT_EQ(blocks, 3u);
    ExpectRegion("smd.header", 0, kSmdHeaderSize, SumOf(0, kSmdHeaderSize));
    ExpectRegion("smd.blocks", kSmdHeaderSize, 3 * kSmdBlockSize,
                 SumOf(kSmdHeaderSize, 3 * kSmdBlockSize));
}

TEST_F(BuiltImageTest, IntegratedImageWithEveryComponent) {
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    auto& c = spec.integrated;
    c.eboot = 1111;
    c.pda = PdaImageSpec{};
    c.pda->langpack = true;
    c.csc = CscImageSpec{};
    c.phone = 2222;
    c.telvik = TelvikImageSpec{};
    c.singleTelvik = 3333;
    c.contents = TelvikImageSpec{};
    Build(spec);
    sImageHeader header;
    ASSERT_EQ(ReadImageHeader(file_, header), ImageHeaderRead::kOk);
    std::string error;
    EXPECT_TRUE(CheckComponentExtents(header, file_.Length(), error)) << error;
    const char* names[kComponentCount] = {"eboot",  "pda", "csc",     "phone",
                                          "telvik", "sst", "contents"};
    for (int kind = 0; kind < kComponentCount; ++kind) {
        const auto componentKind = static_cast<ComponentKind>(kind);
        ASSERT_EQ(LocateComponent(file_, header, componentKind), ComponentCheck::kOk) << kind;
        const ImageComponent& component = header.Of(componentKind);
        EXPECT_EQ(file_.Position(), component.DataOffset());
        ExpectRegion(std::string("component.") + names[kind], component.DataOffset(),
                     component.dwSize, SumOf(component.DataOffset(), component.dwSize));
    }
    EXPECT_EQ(header.Of(kComponentEboot).dwSize, 1111u);
    EXPECT_EQ(header.Of(kComponentSingleTelvik).dwSize, 3333u);

    // The nested layouts read inside their components, check words included.
    const ImageComponent& pda = header.Of(kComponentPda);
    PdaLayout pdaLayout;
    ASSERT_TRUE(ReadPdaLayout(file_, pda.DataOffset(), pda.End(), pdaLayout, error)) << error;
    EXPECT_TRUE(pdaLayout.hasLangpack);
    EXPECT_EQ(pdaLayout.header.dwCheckWord, SumOf(pdaLayout.dataOffset, pdaLayout.header.Size));
    EXPECT_EQ(pdaLayout.langpackDataOffset + pdaLayout.langpack.Size, pda.End());
    const ImageComponent& telvik = header.Of(kComponentTelvik);
    TelvikLayout telvikLayout;
    ASSERT_TRUE(ReadTelvikLayout(file_, telvik.DataOffset(), telvik.End(), TelvikParts::kTwo,
                                 telvikLayout, error));
    EXPECT_EQ(telvikLayout.secondDataOffset + telvikLayout.secondDataLength, telvik.End());
    EXPECT_EQ(telvikLayout.header.dwSecondCheck,
              SumOf(telvikLayout.secondDataOffset, telvikLayout.secondDataLength));
    EXPECT_EQ(manifest_.fileSum, SumOf(0, bytes_.size()));
    EXPECT_EQ(bytes_.size(), header.Of(kComponentContents).End() + kImageHeaderSize);
}

TEST_F(BuiltImageTest, MultiCscFilesLieAtTheirSpans) {
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    spec.csc.multi = true;
    spec.csc.files = {testing::CscFile("A", "VA", 2), testing::CscFile("B", "VB")};
    spec.csc.files[1].bodySize = 0x30000;  // needs two blocks
    Build(spec);
    ExpectRegion("csc.file0", 0x20000, kCscHeaderSize + 1024,
                 SumOf(0x20000, kCscHeaderSize + 1024));
    ExpectRegion("csc.file1", 0x60000, kCscHeaderSize + 0x30000,
                 SumOf(0x60000, kCscHeaderSize + 0x30000));
    EXPECT_EQ(bytes_.size(), 0x60000u + 2 * 0x20000);
    EXPECT_EQ(LoadLe32(bytes_.data() + kCscHeaderSize + kCscFileEntrySize +
                       CscFileEntry::kTotalBlockCntOffset),
              2u);
}

TEST(ImageBuilderTest, RefusesWhatItsFieldsCannotHold) {
    const TempFile output({});
    const std::string& path = output.Path();
    ImageManifest manifest;
    std::string error;
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    spec.csc.files[0].version = "a version of sixteen";
    EXPECT_FALSE(BuildImage(path, spec, manifest, error));
    EXPECT_NE(error.find("longer than the 15 characters"), std::string::npos) << error;
    spec.csc.files[0] = CscFileSpec{};
    spec.csc.files[0].supportLanguages.assign(kLanguageListSize, 1);
    EXPECT_FALSE(BuildImage(path, spec, manifest, error));
    spec.csc.files[0] = testing::CscFile("X", "V", 1);
    spec.csc.files[0].bodySize = 0x20000;
    spec.csc.multi = true;
    EXPECT_FALSE(BuildImage(path, spec, manifest, error));
    EXPECT_NE(error.find("needs 2 blocks"), std::string::npos) << error;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = uint64_t{1} << 32;
    EXPECT_FALSE(BuildImage(path, spec, manifest, error));
}

TEST(ImageBuilderTest, FormatOfPath) {
    EXPECT_EQ(ImageFormatOfPath("a/b/IMAGE.EB0"), ImageFormat::kEboot);
    EXPECT_EQ(ImageFormatOfPath("x.msd"), ImageFormat::kTelvik);
    EXPECT_EQ(ImageFormatOfPath("x.Mct"), ImageFormat::kContents);
    EXPECT_EQ(ImageFormatOfPath("firmwareeb0"), std::nullopt);
    EXPECT_EQ(ImageFormatOfPath("eb0"), std::nullopt);
}

}  // namespace
}  // namespace varnel
