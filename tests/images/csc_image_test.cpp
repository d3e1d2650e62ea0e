#include "images/csc_image.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/built_image.h"
#include "images/fake_csc_view.h"
#include "images/image_file.h"
#include "images/image_globals.h"
#include "images/language_table.h"

namespace varnel {
namespace {

using testing::BuildBytes;
using testing::CscFile;
using testing::CscSpec;
using ::testing::ElementsAre;
using testing::FakeCscView;
using ::testing::IsEmpty;
using testing::LanguageIndex;
using testing::PutLe32;

using Lines = std::vector<std::string>;

constexpr const char* kParseTitle =
    "[CSC] ----------------- Information of Selected CSC ------------------\r\n";
constexpr const char* kMultiTitle =
    "[CSC] ----------------- Information of Multi CSC Image ------------------\r\n";

class CscImageTest : public ::testing::Test {
  protected:
    void SetUp() override { g_nCscType = kCscUnknown; }

    // Parses `bytes` as a chosen ".csc" file; the main log holds only what this parse wrote.
    void ParseFile(const std::vector<uint8_t>& bytes) {
        view_.mainLog.clear();
        scratch_ = std::make_unique<TempFile>(bytes);
        ImageFile file;
        ASSERT_TRUE(file.Open(scratch_->Path()));
        ParseCscFile(file, view_);
    }
    std::string path() const { return scratch_->Path(); }

    FakeCscView view_;
    std::unique_ptr<TempFile> scratch_;
};

CscImageSpec ThreeFileMulti() {
    CscImageSpec csc;
    csc.multi = true;
    csc.files = {CscFile("EUR.csc", "V0", 2), CscFile("ASIA.csc", "V1", 3), CscFile("US", "V2")};
    return csc;
}

TEST_F(CscImageTest, SingleCscLinesLanguagesAndTables) {
    const auto bytes = BuildBytes(CscSpec(CscImageSpec{}));
    ParseFile(bytes);
    EXPECT_EQ(g_nCscType, kCscSingle);
    EXPECT_THAT(
        view_.cscLog,
        ElementsAre(kParseTitle, "[CSC] Verision:[CSC-V1]\r\n",
                    "[CSC] SupportLanguage 0x0:[0409]\r\n", "[CSC] SupportLanguage 0x1:[040C]\r\n",
                    "[CSC] SupportLanguage 0x2:[0407]\r\n", "[CSC] SalesCode:[XEU]\r\n",
                    "[CSC] Priority:[0x1]\r\n", "[CSC] FileCnt:[1]\r\n"));
    EXPECT_THAT(view_.mainLog, IsEmpty());
    EXPECT_THAT(view_.languages, ElementsAre("English(UK)", "French(France)", "German(Germany)"));
    EXPECT_EQ(view_.languageSelection, 0);  // default "0409"
    EXPECT_THAT(LanguageIndex(), ElementsAre(5, 7, 8));
    EXPECT_THAT(view_.cscFiles, IsEmpty());
}

TEST_F(CscImageTest, DefaultLanguageSelectsItsEntryOrNone) {
    CscImageSpec csc;
    csc.files[0].defaultLanguage = "040C";
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_EQ(view_.languageSelection, 1);

    // In neither list: nothing selected. A lower-case code does not match (exact comparison).
    for (const char* code : {"0412", "040c"}) {
        csc.files[0].defaultLanguage = code;
        ParseFile(BuildBytes(CscSpec(csc)));
        EXPECT_EQ(view_.languages.size(), 3u);
        EXPECT_EQ(view_.languageSelection, -1) << code;
    }
}

TEST_F(CscImageTest, EmptySupportLanguageFillsFromOptionalList) {
    CscImageSpec csc;
    csc.files[0].supportLanguages = {};
    csc.files[0].optionalLanguages = {12, 5};
    ParseFile(BuildBytes(CscSpec(csc)));
    // A single ".csc" file shows the optional rows as SupportLanguage lines, without "N/A".
    EXPECT_THAT(view_.cscLog,
                ElementsAre(kParseTitle, "[CSC] Verision:[CSC-V1]\r\n",
                            "[CSC] SupportLanguage 0x0:[0412]\r\n",
                            "[CSC] SupportLanguage 0x1:[0409]\r\n", "[CSC] SalesCode:[XEU]\r\n",
                            "[CSC] Priority:[0x1]\r\n", "[CSC] FileCnt:[1]\r\n"));
    EXPECT_THAT(view_.languages, ElementsAre("Korean(Korea)", "English(UK)"));
    EXPECT_EQ(view_.languageSelection, 1);
    EXPECT_THAT(LanguageIndex(), ElementsAre(12, 5));
}

TEST_F(CscImageTest, LanguageCountErrorShowsTheErrorText) {
    view_.languageCountError = true;
    ParseFile(BuildBytes(CscSpec(CscImageSpec{})));
    EXPECT_EQ(view_.cscLog.back(),
              "[CSC] ----------Error Occured during Setting Language ----------\r\n");
    EXPECT_EQ(view_.languageSelection, -1);
}

TEST_F(CscImageTest, UnrecognisedLayoutIsReportedInTheCscBox) {
    view_.languages = {"stale"};
    view_.cscFiles = {"stale"};
    ParseFile(std::vector<uint8_t>(4096, 0x11));
    EXPECT_EQ(g_nCscType, kCscUnknown);
    EXPECT_THAT(view_.cscLog, ElementsAre("[CSC] Unknown type CSC Image \r\n"));
    EXPECT_THAT(view_.languages, IsEmpty());
    EXPECT_THAT(view_.cscFiles, IsEmpty());

    // Shorter than a header: not recognised either, and nothing is read past the end.
    auto bytes = BuildBytes(CscSpec(CscImageSpec{}));
    bytes.resize(kCscHeaderSize - 1);
    ParseFile(bytes);
    EXPECT_EQ(g_nCscType, kCscUnknown);
    EXPECT_THAT(view_.cscLog, ElementsAre("[CSC] Unknown type CSC Image \r\n"));
}

TEST_F(CscImageTest, MultiCscListsFilesInMainLogAndShowsFileZero) {
    CscImageSpec csc = ThreeFileMulti();
    csc.files[1].entryMark = false;
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_EQ(g_nCscType, kCscMulti);
    EXPECT_THAT(
        view_.mainLog,
        ElementsAre(kMultiTitle, "[CSC] File Name:[EUR.csc]\r\n", "[CSC] FileSize:[0x480]\r\n",
                    "[CSC] TotalBlockCnt:[0x2]\r\n",
                    "[CSC] ERROR checking HDR_CSCFILE_START:[0x0]\r\n", "[CSC] File Name:[US]\r\n",
                    "[CSC] FileSize:[0x480]\r\n", "[CSC] TotalBlockCnt:[0x1]\r\n"));
    // The entry without its mark is still listed, with its size and span.
    EXPECT_THAT(view_.cscFiles, ElementsAre("EUR.csc", "ASIA.csc", "US"));
    EXPECT_EQ(view_.cscFileSelection, 0);
    EXPECT_EQ(view_.selectedCscFileIndex, 0);
    ASSERT_EQ(g_nCscFileCount, 3);
    EXPECT_EQ(g_dwCscFileSpan[0], 2u * 0x20000);
    EXPECT_EQ(g_dwCscFileSpan[1], 3u * 0x20000);
    EXPECT_EQ(g_dwCscFileSize[1], 0x480u);
    // File 0's header, multi form: no FileCnt line.
    EXPECT_THAT(
        view_.cscLog,
        ElementsAre(kParseTitle, "[CSC] Verision:[V0]\r\n", "[CSC] SupportLanguage 0x0:[0409]\r\n",
                    "[CSC] SupportLanguage 0x1:[040C]\r\n", "[CSC] SupportLanguage 0x2:[0407]\r\n",
                    "[CSC] SalesCode:[XEU]\r\n", "[CSC] Priority:[0x1]\r\n"));
}

TEST_F(CscImageTest, MultiCscWithEmptySupportShowsNotAvailableAndOptionalRows) {
    CscImageSpec csc;
    csc.multi = true;
    csc.files[0].supportLanguages = {};
    csc.files[0].optionalLanguages = {18};
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_THAT(view_.cscLog, ElementsAre(kParseTitle, "[CSC] Verision:[CSC-V1]\r\n",
                                          "[CSC] SupportLanguage : N/A \r\n",
                                          "[CSC] ImageOptionalLanglist 0x0:[0C0A]\r\n",
                                          "[CSC] SalesCode:[XEU]\r\n", "[CSC] Priority:[0x1]\r\n"));
    EXPECT_THAT(view_.languages, ElementsAre("Spanish(Spain)"));
}

TEST_F(CscImageTest, MultiCscWithNoFilesStillShowsFileZerosHeader) {
    CscImageSpec csc;
    csc.multi = true;
    csc.fileCntOverride = 0;
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_THAT(view_.mainLog, ElementsAre(kMultiTitle));
    EXPECT_THAT(view_.cscFiles, IsEmpty());
    EXPECT_EQ(view_.cscFileSelection, -1);
    EXPECT_EQ(view_.selectedCscFileIndex, 0);
    EXPECT_EQ(g_nCscFileCount, 0);
    ASSERT_GE(view_.cscLog.size(), 2u);
    EXPECT_EQ(view_.cscLog[1], "[CSC] Verision:[CSC-V1]\r\n");
}

TEST_F(CscImageTest, SelectingFileTwoSkipsTheSpansOfFilesZeroAndOne) {
    const auto bytes = BuildBytes(CscSpec(ThreeFileMulti()));
    ParseFile(bytes);
    uint64_t offset = 0;
    ASSERT_TRUE(MultiCscFileOffset(2, offset));
    EXPECT_EQ(offset, 0x20000u + 5u * 0x20000);
    EXPECT_EQ(LoadLe32(bytes.data() + offset), kCscStartMark);

    view_.cscLog = {"kept\r\n"};
    view_.SelectCscFile(2);
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_EQ(view_.selectedCscFileIndex, 2);
    EXPECT_THAT(
        view_.cscLog,
        ElementsAre("kept\r\n",
                    "[CSC] ----------------- Information of selected CSC "
                    "------------------\r\n",
                    "[CSC] Verision:[V2]\r\n", "[CSC] SupportLanguage 0x0:[0409]\r\n",
                    "[CSC] SupportLanguage 0x1:[040C]\r\n", "[CSC] SupportLanguage 0x2:[0407]\r\n",
                    "[CSC] SalesCode:[XEU]\r\n", "[CSC] Priority:[0x1]\r\n"));
    EXPECT_EQ(view_.languages.size(), 3u);

    view_.languageCountError = true;
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_EQ(view_.cscLog.back(),
              "[CSC] ----------Error Occured during Setiing Language ----------\r\n");
}

TEST_F(CscImageTest, SelectionChangeWithoutAMultiCscImage) {
    ParseFile(BuildBytes(CscSpec(ThreeFileMulti())));
    view_.SelectCscFile(1);
    OnSelectCscFile({false, "", false, ""}, view_);
    EXPECT_EQ(view_.cscLog.back(), "Multi CSC image is not selected\r\n");
    EXPECT_THAT(view_.languages, IsEmpty());

    // A CSC file that has gone since it was chosen: one main-log line, nothing else.
    const size_t cscLines = view_.cscLog.size();
    const size_t mainLines = view_.mainLog.size();
    OnSelectCscFile({false, "", true, path() + ".gone"}, view_);
    ASSERT_EQ(view_.mainLog.size(), mainLines + 1);
    EXPECT_EQ(view_.mainLog.back(), "[CSC] Cannot open the CSC file [" + path() + ".gone] \r\n");
    EXPECT_EQ(view_.cscLog.size(), cscLines);

    // With a single CSC chosen, a selection change only empties "Language Select".
    ParseFile(BuildBytes(CscSpec(CscImageSpec{})));
    const size_t singleLines = view_.cscLog.size();
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_THAT(view_.languages, IsEmpty());
    EXPECT_EQ(view_.cscLog.size(), singleLines);
}

TEST(LanguageTableTest, RowsAndLangId) {
    EXPECT_STREQ(LanguageTable[5].szCode, "0409");
    EXPECT_STREQ(LanguageTable[5].szName, "English(UK)");
    EXPECT_STREQ(LanguageTable[22].szName, "Slovenian(Slovenia)");
    EXPECT_EQ(LangIdOf(7), 0x43303430u);   // "040C"
    EXPECT_EQ(LangIdOf(18), 0x41304330u);  // "0C0A"
    EXPECT_FALSE(IsLanguageRow(23));
    EXPECT_FALSE(IsLanguageRow(-1));
}

TEST(LanguageTableTest, WorkerLookups) {
    CscHeader header;
    const uint8_t optional[] = {5, 7, 8, kLanguageListEnd, 9};
    std::copy(std::begin(optional), std::end(optional), header.ImageOptionalLanglist);
    EXPECT_EQ(LanguagePosition(header, 8), 2);
    EXPECT_EQ(LanguagePosition(header, 9), 0);  // after the end: not found
    std::fill(std::begin(header.ImageOptionalLanglist), std::end(header.ImageOptionalLanglist),
              uint8_t{3});
    EXPECT_EQ(LanguagePosition(header, 4), 0);  // no end in the list: stays inside it

    g_nLangIndex[0] = 12;
    g_nLangCount = 1;
    int row = -1;
    EXPECT_TRUE(SelectedLanguageRow(0, row));
    EXPECT_EQ(row, 12);
    EXPECT_FALSE(SelectedLanguageRow(1, row));
    EXPECT_FALSE(SelectedLanguageRow(-1, row));
}

// ---- Malformed CSC data: one main-log line, nothing else of it used.

class MalformedCscTest : public CscImageTest {};

TEST_F(MalformedCscTest, FileCntAboveFiftyListsNothing) {
    CscImageSpec csc = ThreeFileMulti();
    csc.fileCntOverride = 51;
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_THAT(
        view_.mainLog,
        ElementsAre(kMultiTitle,
                    "[CSC] FileCnt:[51] is more than the 50 CSC files this tool holds \r\n"));
    EXPECT_THAT(view_.cscFiles, IsEmpty());
    EXPECT_THAT(view_.cscLog, IsEmpty());
    EXPECT_EQ(g_nCscType, kCscUnknown);
    EXPECT_EQ(g_nCscFileCount, 0);

    // Fifty is still within the tables: the entries past the real files are listed unmarked.
    csc.fileCntOverride = 50;
    ParseFile(BuildBytes(CscSpec(csc)));
    EXPECT_EQ(view_.cscFiles.size(), 50u);
    EXPECT_EQ(g_nCscFileCount, 50);
    EXPECT_EQ(g_nCscType, kCscMulti);
}

TEST_F(MalformedCscTest, TruncatedMultiCsc) {
    auto bytes = BuildBytes(CscSpec(ThreeFileMulti()));
    const auto whole = bytes;
    bytes.resize(kCscHeaderSize + kCscFileEntrySize + 10);
    ParseFile(bytes);
    EXPECT_EQ(view_.mainLog.back(), "[CSC] The image ends before CSC file entry 1 at 0x100 \r\n");
    EXPECT_THAT(view_.cscFiles, IsEmpty());
    EXPECT_EQ(g_nCscType, kCscUnknown);

    // The table is whole but file 0's header is cut.
    bytes.assign(whole.begin(), whole.begin() + 0x20000 + 100);
    ParseFile(bytes);
    EXPECT_EQ(view_.cscFiles.size(), 3u);
    EXPECT_EQ(view_.mainLog.back(),
              "[CSC] The image ends before the header of CSC file 0 at 0x20000 \r\n");
    EXPECT_THAT(view_.cscLog, IsEmpty());
    EXPECT_THAT(view_.languages, IsEmpty());

    // Choosing a file whose header lies past the end.
    bytes.assign(whole.begin(), whole.begin() + 0x20000 + 5 * 0x20000 + 64);
    ParseFile(bytes);
    view_.SelectCscFile(2);
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_EQ(view_.mainLog.back(),
              "[CSC] The image ends before the header of CSC file 2 at 0xc0000 \r\n");
}

TEST_F(MalformedCscTest, LanguageListsThatExceedTheTables) {
    const struct {
        std::vector<uint8_t> rows;
        const char* message;
    } cases[] = {
        {std::vector<uint8_t>(kLanguageListSize, 3),
         "[CSC] SupportLanguage has no 0xFF end within its 28 bytes \r\n"},
        {std::vector<uint8_t>(25, 3),
         "[CSC] SupportLanguage lists more than the 24 languages this tool holds \r\n"},
        {{5, 23},
         "[CSC] SupportLanguage names language row 23; the language table has rows 0 "
         "to 22 \r\n"},
        {{0xFE},
         "[CSC] SupportLanguage names language row 254; the language table has rows 0 "
         "to 22 \r\n"},
    };
    for (const auto& c : cases) {
        auto bytes = BuildBytes(CscSpec(CscImageSpec{}));
        std::fill_n(bytes.begin() + CscHeader::kSupportLanguageOffset, kLanguageListSize,
                    kLanguageListEnd);
        std::copy(c.rows.begin(), c.rows.end(), bytes.begin() + CscHeader::kSupportLanguageOffset);
        ParseFile(bytes);
        EXPECT_THAT(view_.mainLog.back(), c.message);
        EXPECT_THAT(view_.cscLog, IsEmpty());
        EXPECT_THAT(view_.languages, IsEmpty());
        EXPECT_EQ(g_nLangCount, 0);
        EXPECT_EQ(view_.languageSelection, -1);
    }

    // 24 rows and row 22 are within the tables.
    auto bytes = BuildBytes(CscSpec(CscImageSpec{}));
    std::fill_n(bytes.begin() + CscHeader::kSupportLanguageOffset, 24, uint8_t{22});
    ParseFile(bytes);
    EXPECT_EQ(view_.languages.size(), 24u);
    EXPECT_EQ(g_nLangIndex[23], 22);
}

TEST_F(MalformedCscTest, OptionalListIsCheckedWhenItIsTheOneShown) {
    CscImageSpec csc;
    csc.files[0].supportLanguages = {};
    auto bytes = BuildBytes(CscSpec(csc));
    std::fill_n(bytes.begin() + CscHeader::kOptionalLanglistOffset, kLanguageListSize, uint8_t{1});
    ParseFile(bytes);
    EXPECT_EQ(view_.mainLog.back(),
              "[CSC] ImageOptionalLanglist has no 0xFF end within its 28 bytes \r\n");
    EXPECT_THAT(view_.languages, IsEmpty());
}

// Texts that fill their fields are read up to the field's end, never beyond it and never refused.
TEST_F(CscImageTest, TextsThatFillTheirFieldsAreReadWithinThem) {
    CscImageSpec csc = ThreeFileMulti();
    auto bytes = BuildBytes(CscSpec(csc));
    const size_t entry1 = kCscHeaderSize + kCscFileEntrySize;
    std::fill_n(bytes.begin() + entry1 + CscFileEntry::kNameOffset, 32, uint8_t{'N'});
    const size_t file0 = kCscFilesOffset;
    std::fill_n(bytes.begin() + file0 + CscHeader::kVersionOffset, 16, uint8_t{'V'});
    std::fill_n(bytes.begin() + file0 + CscHeader::kSalesCodeOffset, 12, uint8_t{'S'});
    ParseFile(bytes);
    EXPECT_EQ(g_nCscType, kCscMulti);
    ASSERT_EQ(view_.cscFiles.size(), 3u);
    EXPECT_EQ(view_.cscFiles[1], std::string(32, 'N'));
    EXPECT_THAT(view_.cscLog,
                ::testing::Contains("[CSC] Verision:[" + std::string(16, 'V') + "]\r\n"));
    EXPECT_THAT(view_.cscLog,
                ::testing::Contains("[CSC] SalesCode:[" + std::string(12, 'S') + "]\r\n"));
    EXPECT_FALSE(view_.languages.empty());
}

TEST_F(MalformedCscTest, HugeBlockCountsDoNotWrapTheSpans) {
    CscImageSpec csc = ThreeFileMulti();
    auto bytes = BuildBytes(CscSpec(csc));
    PutLe32(bytes, kCscHeaderSize + CscFileEntry::kTotalBlockCntOffset, 0x80000);
    ParseFile(bytes);
    EXPECT_EQ(g_dwCscFileSpan[0], uint64_t{0x80000} * 0x20000);
    view_.SelectCscFile(1);
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_EQ(view_.mainLog.back(),
              "[CSC] The image ends before the header of CSC file 1 at 0x1000020000 \r\n");
}

TEST_F(MalformedCscTest, SelectionOutsideTheListedFiles) {
    ParseFile(BuildBytes(CscSpec(ThreeFileMulti())));
    view_.SelectCscFile(3);
    OnSelectCscFile({false, "", true, path()}, view_);
    EXPECT_EQ(view_.mainLog.back(), "[CSC] CSC file 3 is not one of the 3 files listed \r\n");
    EXPECT_EQ(view_.selectedCscFileIndex, 0);
    uint64_t offset = 0;
    EXPECT_FALSE(MultiCscFileOffset(-1, offset));
    EXPECT_TRUE(MultiCscFileOffset(0, offset));
}

}  // namespace
}  // namespace varnel
