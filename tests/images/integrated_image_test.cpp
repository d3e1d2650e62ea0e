#include "images/integrated_image.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "images/built_image.h"
#include "images/csc_image.h"
#include "images/fake_csc_view.h"
#include "images/format_entry.h"
#include "images/image_globals.h"

namespace varnel {
namespace {

using testing::BuildBytes;
using testing::CscFile;
using ::testing::ElementsAre;
using testing::FakeCscView;
using ::testing::IsEmpty;
using testing::LanguageIndex;
using testing::PutLe32;

ImageSpec Integrated(const IntegratedImageSpec& components) {
    ImageSpec spec;
    spec.format = ImageFormat::kIntegrated;
    spec.integrated = components;
    return spec;
}

// Offset of component `kind`'s offset word in a file of `size` bytes.
size_t HeaderField(size_t size, ComponentKind kind) {
    return size - kImageHeaderSize + ComponentInfoOf(kind).headerOffset;
}

class IntegratedImageTest : public ::testing::Test {
  protected:
    void SetUp() override { g_nCscType = kCscUnknown; }

    IntegratedImageCheck Check(const std::vector<uint8_t>& bytes) {
        scratch_ = std::make_unique<TempFile>(bytes);
        return ParseIntegratedImage(scratch_->Path(), view_);
    }

    FakeCscView view_;
    std::unique_ptr<TempFile> scratch_;
};

TEST_F(IntegratedImageTest, ListsThePresentComponents) {
    IntegratedImageSpec components;
    components.eboot = 1000;
    components.pda = PdaImageSpec{};
    components.csc = CscImageSpec{};
    const auto check = Check(BuildBytes(Integrated(components)));
    ASSERT_TRUE(check.ok);
    EXPECT_THAT(check.components, ElementsAre(kComponentEboot, kComponentPda, kComponentCsc));
    EXPECT_EQ(view_.imageHeaderReports, 0);

    IntegratedImageSpec telviks;
    telviks.phone = 100;
    telviks.telvik = TelvikImageSpec{};
    telviks.singleTelvik = 300;
    telviks.contents = TelvikImageSpec{};
    EXPECT_THAT(
        Check(BuildBytes(Integrated(telviks))).components,
        ElementsAre(kComponentPhone, kComponentTelvik, kComponentSingleTelvik, kComponentContents));
    IntegratedImageSpec contentsOnly;
    contentsOnly.contents = TelvikImageSpec{};
    const auto contents = Check(BuildBytes(Integrated(contentsOnly)));
    EXPECT_TRUE(contents.ok);
    EXPECT_THAT(contents.components, ElementsAre(kComponentContents));
}

TEST_F(IntegratedImageTest, ComponentOfSizeZeroIsAbsentWhateverItsOffset) {
    IntegratedImageSpec components;
    components.phone = 64;
    auto bytes = BuildBytes(Integrated(components));
    PutLe32(bytes, HeaderField(bytes.size(), kComponentEboot), 0xFFFFFFF0);
    const auto check = Check(bytes);
    EXPECT_TRUE(check.ok);
    EXPECT_THAT(check.components, ElementsAre(kComponentPhone));
}

TEST_F(IntegratedImageTest, WrongOrMissingTrailer) {
    IntegratedImageSpec components;
    components.eboot = 64;
    auto bytes = BuildBytes(Integrated(components));
    PutLe32(bytes, bytes.size() - kImageHeaderSize, 0x424A4448);
    auto check = Check(bytes);
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(view_.imageHeaderReports, 1);
    EXPECT_THAT(view_.mainLog, ElementsAre("sImageHeader ID is invalid\r\n"));

    // Shorter than the trailer.
    check = Check(std::vector<uint8_t>(kImageHeaderSize - 1, 0));
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(view_.imageHeaderReports, 2);

    view_.mainLog.clear();
    const auto missing = std::filesystem::temp_directory_path() / "varnel-no-such-image.img";
    EXPECT_FALSE(ParseIntegratedImage(missing.string(), view_).ok);
    EXPECT_THAT(view_.mainLog, ElementsAre("cIMGFile.Open Failed\r\n"));
}

TEST_F(IntegratedImageTest, ComponentBeyondTheEndOfTheFileIsRejected) {
    IntegratedImageSpec components;
    components.eboot = 64;
    components.phone = 64;
    auto bytes = BuildBytes(Integrated(components));
    // Offset + size would wrap a 32-bit sum back inside the file.
    PutLe32(bytes, HeaderField(bytes.size(), kComponentPhone), 0xFFFFFF00);
    PutLe32(bytes, HeaderField(bytes.size(), kComponentPhone) + 4, 0x200);
    const auto check = Check(bytes);
    EXPECT_FALSE(check.ok);
    EXPECT_THAT(view_.mainLog,
                ElementsAre(FormatEntry("[IMG] Integrated image rejected: the Phone component "
                                        "(0x200 bytes at 0xffffff00) ends beyond the end of the "
                                        "file (0x%zx bytes) \r\n",
                                        bytes.size())));
}

TEST_F(IntegratedImageTest, SingleCscPartFillsLanguagesWithoutRowLines) {
    IntegratedImageSpec components;
    components.csc = CscImageSpec{};
    components.csc->files[0].supportLanguages = {};
    components.csc->files[0].optionalLanguages = {8, 5};
    view_.cscLog = {"old\r\n"};
    ASSERT_TRUE(Check(BuildBytes(Integrated(components))).ok);
    EXPECT_EQ(g_nCscType, kCscSingle);
    EXPECT_THAT(view_.cscLog,
                ElementsAre("[CSC] ----------------- Information of Selected CSC "
                            "------------------\r\n",
                            "[CSC] Verision:[CSC-V1]\r\n", "[CSC] SalesCode:[XEU]\r\n",
                            "[CSC] Priority:[0x1]\r\n", "[CSC] FileCnt:[1]\r\n"));
    EXPECT_THAT(view_.languages, ElementsAre("German(Germany)", "English(UK)"));
    EXPECT_EQ(view_.languageSelection, 1);
    EXPECT_THAT(LanguageIndex(), ElementsAre(8, 5));
}

TEST_F(IntegratedImageTest, WrongCscIdRejectsTheImage) {
    IntegratedImageSpec components;
    components.eboot = 64;
    components.csc = CscImageSpec{};
    auto bytes = BuildBytes(Integrated(components));
    const uint32_t cscOffset = LoadLe32(bytes.data() + HeaderField(bytes.size(), kComponentCsc));
    PutLe32(bytes, cscOffset, kPdaId);
    g_nCscType = kCscSingle;
    const auto check = Check(bytes);
    EXPECT_FALSE(check.ok);
    EXPECT_THAT(view_.cscLog, ElementsAre("[CSC] CSC_ID is invalid \r\n"));
    EXPECT_EQ(g_nCscType, kCscUnknown);
}

TEST_F(IntegratedImageTest, UnrecognisedCscPartIsReportedAndRejected) {
    IntegratedImageSpec components;
    components.csc = CscImageSpec{};
    auto bytes = BuildBytes(Integrated(components));
    const uint32_t cscOffset = LoadLe32(bytes.data() + HeaderField(bytes.size(), kComponentCsc));
    PutLe32(bytes, cscOffset + 4, 0x12345678);  // the CscHeader's start mark
    const auto check = Check(bytes);
    EXPECT_FALSE(check.ok);
    EXPECT_THAT(view_.mainLog,
                ElementsAre("[CSC] Unknown type CSC Image \r\n",
                            "[IMG] Integrated image rejected: CSC component: its CSC layout is not "
                            "recognised \r\n"));
    EXPECT_THAT(view_.cscLog, IsEmpty());
}

// What the worker would refuse on a handset is refused when the image is chosen.
TEST_F(IntegratedImageTest, ImageWithNoComponentOrAComponentTheWorkerRefusesIsRejected) {
    auto check = Check(BuildBytes(Integrated(IntegratedImageSpec{})));
    EXPECT_FALSE(check.ok);
    EXPECT_THAT(view_.mainLog,
                ElementsAre("[IMG] Integrated image rejected: its header lists no component \r\n"));

    IntegratedImageSpec components;
    components.eboot = 64;
    components.pda = PdaImageSpec{};
    auto bytes = BuildBytes(Integrated(components));
    const uint32_t pdaOffset = LoadLe32(bytes.data() + HeaderField(bytes.size(), kComponentPda));
    PutLe32(bytes, pdaOffset + 4 + PdaHeader::kEndMarkOffset, 0);
    view_.mainLog.clear();
    check = Check(bytes);
    EXPECT_FALSE(check.ok);
    ASSERT_EQ(view_.mainLog.size(), 1u);
    EXPECT_THAT(view_.mainLog[0], ::testing::HasSubstr("PDA component: the PDA header at"));

    bytes = BuildBytes(Integrated(components));
    PutLe32(bytes, LoadLe32(bytes.data() + HeaderField(bytes.size(), kComponentEboot)), 0);
    view_.mainLog.clear();
    EXPECT_FALSE(Check(bytes).ok);
    ASSERT_EQ(view_.mainLog.size(), 1u);
    EXPECT_THAT(view_.mainLog[0], ::testing::EndsWith("does not start with its identifier \r\n"));
}

TEST_F(IntegratedImageTest, MultiCscPartAndSelectingItsFiles) {
    IntegratedImageSpec components;
    components.eboot = 4000;  // the CSC part does not start at offset 0
    components.csc = CscImageSpec{};
    components.csc->multi = true;
    components.csc->files = {CscFile("A", "VA", 2), CscFile("B", "VB"), CscFile("C", "VC")};
    components.phone = 64;
    const auto bytes = BuildBytes(Integrated(components));
    ASSERT_TRUE(Check(bytes).ok);
    EXPECT_EQ(g_nCscType, kCscMulti);
    EXPECT_THAT(view_.cscFiles, ElementsAre("A", "B", "C"));
    EXPECT_EQ(view_.cscLog[1], "[CSC] Verision:[VA]\r\n");

    view_.SelectCscFile(2);
    OnSelectCscFile({true, scratch_->Path(), false, ""}, view_);
    EXPECT_EQ(view_.selectedCscFileIndex, 2);
    EXPECT_EQ(view_.cscLog.end()[-6], "[CSC] Verision:[VC]\r\n");

    // The integrated image's trailer is checked first.
    auto damaged = bytes;
    PutLe32(damaged, damaged.size() - kImageHeaderSize, 0);
    TempFile bad(damaged);
    view_.mainLog.clear();
    OnSelectCscFile({true, bad.Path(), false, ""}, view_);
    EXPECT_EQ(view_.imageHeaderReports, 1);
    EXPECT_THAT(view_.mainLog, ElementsAre("sImageHeader ID is invalid\r\n"));

    view_.mainLog.clear();
    OnSelectCscFile({true, bad.Path() + ".gone", false, ""}, view_);
    EXPECT_THAT(view_.mainLog, ElementsAre("cIMGFile.Open Failed\r\n"));
}

TEST_F(IntegratedImageTest, MultiCscPartIsBoundedByItsComponent) {
    // File 1 lies beyond the CSC component's end although the file goes on (the Phone part).
    IntegratedImageSpec components;
    components.csc = CscImageSpec{};
    components.csc->multi = true;
    components.csc->files = {CscFile("A", "VA"), CscFile("B", "VB")};
    components.phone = 0x40000;
    auto bytes = BuildBytes(Integrated(components));
    const size_t cscField = HeaderField(bytes.size(), kComponentCsc);
    const uint32_t cscSize = LoadLe32(bytes.data() + cscField + 4);
    PutLe32(bytes, cscField + 4, cscSize - 0x20000);  // the component now ends after file 0
    EXPECT_FALSE(Check(bytes).ok);
    EXPECT_EQ(view_.mainLog.back(),
              "[IMG] Integrated image rejected: CSC component: the image ends before the header "
              "of CSC file 1 at 0x40004 \r\n");
    view_.SelectCscFile(1);
    OnSelectCscFile({true, scratch_->Path(), false, ""}, view_);
    EXPECT_EQ(view_.mainLog.back(),
              "[CSC] The image ends before the header of CSC file 1 at 0x40004 \r\n");
}

}  // namespace
}  // namespace varnel
