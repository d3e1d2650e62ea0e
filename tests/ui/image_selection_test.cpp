// Choosing images with the buttons, the file dialog and drops: what a choice loads, how it fails,
// the controls an Integrated image hides, and the CSC combo boxes.
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "images/bytesum.h"
#include "images/image_globals.h"
#include "support/image_dir.h"
#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

ImageSpec Spec(ImageFormat format) {
    ImageSpec spec;
    spec.format = format;
    return spec;
}

CscFileSpec CscFile(const std::string& name, const std::string& defaultLanguage,
                    std::vector<uint8_t> support, uint32_t blocks = 0) {
    CscFileSpec file;
    file.name = name;
    file.version = "V" + name;
    file.defaultLanguage = defaultLanguage;
    file.supportLanguages = std::move(support);
    file.blockCount = blocks;
    return file;
}

class ImageSelectionTest : public WindowTest {
  protected:
    ImageSelectionTest() {
        g_nTelvikType = kTelvikNone;
        g_nCscType = kCscUnknown;
    }

    // Presses the kind's button; a dialog, if one opens, answers `path` (nullopt: cancel).
    void Press(int selectionKind, std::optional<std::string> path) {
        view.chosenFile = std::move(path);
        dlg->OnImageButton(selectionKind);
    }
    std::string Build(const std::string& name, const ImageSpec& spec,
                      ImageManifest* manifest = nullptr) {
        return images.Build(name, spec, manifest);
    }
    // The button and path edit of an image kind.
    bool RowShown(int imageKind) {
        const bool button = view.IsShown(kImageButtonIds[imageKind]);
        EXPECT_EQ(button, view.IsShown(kImagePathIds[imageKind])) << imageKind;
        return button;
    }

    ImageDir images;
};

TEST_F(ImageSelectionTest, ButtonSelectsAndASecondPressDeselectsWithoutADialog) {
    ImageManifest manifest;
    const std::string path = Build("boot.eb0", Spec(ImageFormat::kEboot), &manifest);
    Press(kSelectEboot, path);
    EXPECT_THAT(view.fileFilters, ElementsAre("EBoot Image (*.eb0)|*.eb0|"));
    EXPECT_TRUE(dlg->IsSelected(kKindEboot));
    EXPECT_EQ(view.text[IDC_EBOOT_PATH], path);
    EXPECT_EQ(dlg->Span(kKindEboot).dwSize, manifest.fileSize);
    EXPECT_TRUE(view.IsEnabled(IDC_DETECT));

    Press(kSelectEboot, path);
    EXPECT_EQ(view.fileFilters.size(), 1u);
    EXPECT_FALSE(dlg->IsSelected(kKindEboot));
    EXPECT_EQ(view.text[IDC_EBOOT_PATH], "");
    EXPECT_EQ(dlg->Span(kKindEboot).dwSize, 0u);
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));

    Press(kSelectEboot, path);
    EXPECT_EQ(view.fileFilters.size(), 2u);
    EXPECT_TRUE(dlg->IsSelected(kKindEboot));
}

TEST_F(ImageSelectionTest, FailedChoicesAndTheirResults) {
    // The edit shows the placeholder while the dialog is open; cancelling empties it.
    EXPECT_EQ(dlg->SelectImageFile(kSelectPda), 3);
    EXPECT_EQ(view.text[IDC_PDA_PATH], "File Loading...");
    Press(kSelectPda, std::nullopt);
    EXPECT_THAT(view.fileFilters, ElementsAre("PDA(Savrel) Image (*.nb0)|*.nb0|",
                                              "PDA(Savrel) Image (*.nb0)|*.nb0|"));
    EXPECT_EQ(view.text[IDC_PDA_PATH], "");
    EXPECT_EQ(dlg->MainLog(), "Select PDA file is incorrected. 3\r\n");

    const std::string eboot = Build("boot.eb0", Spec(ImageFormat::kEboot));
    view.chosenFile = eboot;
    EXPECT_EQ(dlg->SelectImageFile(kSelectPda), 1);
    view.chosenFile = "";
    EXPECT_EQ(dlg->SelectImageFile(kSelectPda), 2);

    // Raw bytes under a PDA name: no 0x55555555 at the start.
    Press(kSelectPda, Build("raw.nb0", Spec(ImageFormat::kEboot)));
    EXPECT_THAT(dlg->MainLog(), EndsWith("Select PDA file is incorrected. 4\r\n"));
    EXPECT_FALSE(dlg->IsSelected(kKindPda));
    EXPECT_EQ(dlg->Span(kKindPda).dwSize, 0u);
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));
}

TEST_F(ImageSelectionTest, DialogPathIsStoredInLowerCaseWhenThatNamesTheFile) {
#ifdef _WIN32
    GTEST_SKIP() << "names ignore case here: every path has a lower-case twin";
#endif
    const std::string& folder = images.Path();
    if (std::any_of(folder.begin(), folder.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        GTEST_SKIP() << "the temporary folder's name has upper-case letters";
    }
    const std::string lower = Build("image.eb0", Spec(ImageFormat::kEboot));
    // A second name of the same file stands for a file system that ignores case.
    const std::string upper = folder + "/IMAGE.EB0";
    std::filesystem::create_symlink(lower, upper);
    Press(kSelectEboot, upper);
    EXPECT_TRUE(dlg->IsSelected(kKindEboot));
    EXPECT_EQ(view.text[IDC_EBOOT_PATH], lower);

    // Where case matters and no lower-case twin exists, the path stays readable.
    const std::string only = Build("FIRMWARE.EB0", Spec(ImageFormat::kEboot));
    Press(kSelectEboot, std::nullopt);
    Press(kSelectEboot, only);
    EXPECT_TRUE(dlg->IsSelected(kKindEboot));
    EXPECT_EQ(dlg->Path(kKindEboot), only);
}

TEST_F(ImageSelectionTest, TelvikTypeFollowsTheExtensionAndSingleImagesAreSummed) {
    ImageSpec single = Spec(ImageFormat::kSingleTelvik);
    single.rawSize = 300'000;  // several read blocks
    const std::string sst = Build("os.sst", single);
    Press(kSelectTelvik, sst);
    EXPECT_TRUE(dlg->IsSelected(kKindTelvik));
    EXPECT_EQ(g_nTelvikType, kTelvikSingle);
    const std::vector<uint8_t> bytes = ReadFileRegion(sst, 0, single.rawSize);
    ASSERT_EQ(bytes.size(), single.rawSize);
    EXPECT_EQ(dlg->m_dwSingleTelvikSum, ByteSum32(bytes.data(), bytes.size()));
    EXPECT_EQ(dlg->MainLog(),
              "Calculating Single Telvik image's checksum now wait for a while please.......\r\n"
              "Calculating Telvik image's checksum is done.\r\n");

    Press(kSelectTelvik, std::nullopt);
    EXPECT_EQ(g_nTelvikType, kTelvikNone);
    dlg->ClearMainLog();
    Press(kSelectTelvik, Build("os.MSD", Spec(ImageFormat::kTelvik)));
    EXPECT_EQ(g_nTelvikType, kTelvikMulti);
    EXPECT_EQ(dlg->MainLog(), "");

    Press(kSelectTelvik, std::nullopt);
    Press(kSelectTelvik, Build("modem.bin", Spec(ImageFormat::kPhone)));
    EXPECT_EQ(g_nTelvikType, kTelvikNone);
    EXPECT_EQ(dlg->MainLog(), "Select Telvik file is incorrected. 1\r\n");
}

TEST_F(ImageSelectionTest, UnreadableFileGetsOneLineAndIsNotChosen) {
    const std::string gone = images.Path() + "/gone.nb0";
    Press(kSelectPda, gone);
    EXPECT_EQ(dlg->MainLog(), "[PDA] Cannot open [" + gone +
                                  "] for reading \r\nSelect PDA file is incorrected. 4\r\n");
    EXPECT_FALSE(dlg->IsSelected(kKindPda));
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));

    // A folder named like a single Telvik image leaves no Telvik type behind.
    const std::string folder = images.Path() + "/folder.sst";
    std::filesystem::create_directory(folder);
    dlg->ClearMainLog();
    Press(kSelectTelvik, folder);
    EXPECT_EQ(dlg->MainLog(), "[Telvik] Cannot open [" + folder +
                                  "] for reading \r\nSelect Telvik file is incorrected. 4\r\n");
    EXPECT_EQ(g_nTelvikType, kTelvikNone);

    // Dropped: the drop variants of the failure texts, with 0.
    dlg->ClearMainLog();
    dlg->OnDropFiles({images.Path() + "/gone.mct", images.Path() + "/gone.img"});
    EXPECT_EQ(dlg->MainLog(),
              "cIMGFile.Open Failed\r\nSelect IMG file is incorrected. 0\r\n"
              "[Contents] Cannot open [" +
                  images.Path() +
                  "/gone.mct] for reading \r\nSelect Conents file is incorrected. 0\r\n");
}

TEST_F(ImageSelectionTest, IntegratedImageHidesItsComponentsUntilDeselected) {
    ImageSpec spec = Spec(ImageFormat::kIntegrated);
    spec.integrated.eboot = 4096;
    spec.integrated.pda = PdaImageSpec{};
    spec.integrated.csc = CscImageSpec{};
    const std::string path = Build("all.img", spec);
    Press(kSelectIntegrated, path);
    ASSERT_TRUE(dlg->IsSelected(kKindIntegrated));
    EXPECT_FALSE(RowShown(kKindEboot));
    EXPECT_FALSE(RowShown(kKindPda));
    EXPECT_FALSE(RowShown(kKindCsc));
    EXPECT_TRUE(RowShown(kKindPhone));
    EXPECT_TRUE(RowShown(kKindTelvik));
    EXPECT_THAT(view.combos[IDC_LANGUAGE_SELECT],
                ElementsAre("English(UK)", "French(France)", "German(Germany)"));
    EXPECT_EQ(view.GetComboSelection(IDC_LANGUAGE_SELECT), 0);

    Press(kSelectIntegrated, path);
    EXPECT_FALSE(dlg->IsSelected(kKindIntegrated));
    for (int kind : {kKindEboot, kKindPda, kKindCsc, kKindPhone, kKindTelvik}) {
        EXPECT_TRUE(RowShown(kind)) << kind;
    }

    // A dropped image replaces what the last one hid; a rejected one leaves nothing hidden.
    ImageSpec other = Spec(ImageFormat::kIntegrated);
    other.integrated.phone = 4096;
    other.integrated.singleTelvik = 4096;
    dlg->OnDropFiles({path});
    dlg->OnDropFiles({Build("other.img", other)});
    EXPECT_TRUE(RowShown(kKindPda));
    EXPECT_FALSE(RowShown(kKindPhone));
    EXPECT_FALSE(RowShown(kKindTelvik));
    dlg->OnDropFiles({images.Path() + "/gone.img"});
    EXPECT_FALSE(dlg->IsSelected(kKindIntegrated));
    EXPECT_TRUE(RowShown(kKindTelvik));
}

TEST_F(ImageSelectionTest, WrongImageHeaderIsReportedInTheMainLogOnly) {
    ImageSpec spec = Spec(ImageFormat::kIntegrated);
    spec.integrated.eboot = 4096;
    ImageManifest manifest;
    const std::string path = Build("bad.img", spec, &manifest);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(manifest.fileSize - 128));
        file.write("XXXX", 4);
    }
    Attach(0);
    const std::string bar = BarText(0);
    Press(kSelectIntegrated, path);
    EXPECT_EQ(dlg->MainLog(),
              "[FAIL] Integrated IMG read error from file\r\nsImageHeader ID is invalid\r\n"
              "Select integrated IMG file is incorrected. 4\r\n");
    EXPECT_EQ(dlg->m_PortSlot[0].nState, kPortAttached);
    EXPECT_EQ(dlg->m_nFailed, 0);
    EXPECT_EQ(BarText(0), bar);
    EXPECT_TRUE(RowShown(kKindEboot));
}

TEST_F(ImageSelectionTest, DropTakesNamesFromLastToFirstByExactCaseSuffix) {
    const ImageSpec eboot = Spec(ImageFormat::kEboot);
    const std::string first = Build("first.eb0", eboot);
    const std::string second = Build("second.eb0", eboot);
    const std::string mixed = Build("Image.Eb0", eboot);
    const std::string phone = Build("MODEM.BIN", Spec(ImageFormat::kPhone));
    dlg->OnDropFiles({first, mixed, second, phone});
    EXPECT_EQ(dlg->Path(kKindEboot), first);
    EXPECT_EQ(view.text[IDC_EBOOT_PATH], first);
    EXPECT_EQ(view.text[IDC_PHONE_PATH], phone);
    EXPECT_TRUE(dlg->IsSelected(kKindPhone));
    EXPECT_TRUE(view.IsEnabled(IDC_DETECT));

    dlg->OnDropFiles({mixed});
    EXPECT_EQ(dlg->Path(kKindEboot), first);
    const std::string noDot = Build("firmwareeb0", eboot);
    dlg->OnDropFiles({noDot});
    EXPECT_EQ(dlg->Path(kKindEboot), noDot);
    EXPECT_EQ(dlg->MainLog(), "");

    dlg->OnDropFiles({Build("OS.SST", Spec(ImageFormat::kSingleTelvik))});
    EXPECT_EQ(g_nTelvikType, kTelvikSingle);

    // A rejected drop replaces the chosen image with nothing.
    dlg->OnDropFiles({Build("good.nb0", Spec(ImageFormat::kPda))});
    ASSERT_TRUE(dlg->IsSelected(kKindPda));
    dlg->OnDropFiles({Build("raw.nb0", eboot)});
    EXPECT_FALSE(dlg->IsSelected(kKindPda));
    EXPECT_EQ(view.text[IDC_PDA_PATH], "");
    EXPECT_THAT(dlg->MainLog(), EndsWith("Select PDA file is incorrected. 0\r\n"));
}

TEST_F(ImageSelectionTest, DropIsRefusedWhileTheImageButtonsAreLocked) {
    const std::string first = Build("first.eb0", Spec(ImageFormat::kEboot));
    const std::string second = Build("second.eb0", Spec(ImageFormat::kEboot));
    Press(kSelectEboot, first);
    dlg->OnDetect();
    dlg->OnDropFiles({second});
    EXPECT_EQ(dlg->Path(kKindEboot), first);
    EXPECT_THAT(dlg->MainLog(), HasSubstr("[EBoot] [" + second + "] is not taken"));

    dlg->ResetAll();
    dlg->OnDropFiles({second});
    EXPECT_EQ(dlg->Path(kKindEboot), second);
}

// Nothing empty and nothing the worker would refuse on a handset is chosen, by button or drop.
TEST_F(ImageSelectionTest, ImagesWithNothingToWriteAreRefusedWithTheKindsFailureText) {
    const std::string empty = images.Path() + "/empty.eb0";
    std::ofstream(empty).close();
    Press(kSelectEboot, empty);
    EXPECT_FALSE(dlg->IsSelected(kKindEboot));
    EXPECT_EQ(dlg->MainLog(), "[EBoot] [" + empty +
                                  "] cannot be downloaded: the file is empty \r\n"
                                  "Select Eboot file is incorrected. 4\r\n");

    ImageSpec noBlocks = Spec(ImageFormat::kSmd);
    noBlocks.smdBlocks = 0;
    dlg->OnDropFiles({Build("none.smd", noBlocks)});
    EXPECT_FALSE(dlg->IsSelected(kKindSmd));
    EXPECT_THAT(dlg->MainLog(), EndsWith("no NAND block after its header \r\n"
                                         "Select SMD file is incorrected. 0\r\n"));

    const std::string emptyContents = images.Path() + "/empty.mct";
    std::ofstream(emptyContents).close();
    dlg->OnDropFiles({emptyContents});
    EXPECT_FALSE(dlg->IsSelected(kKindContents));
    EXPECT_THAT(dlg->MainLog(), EndsWith("Select Conents file is incorrected. 0\r\n"));
}

TEST_F(ImageSelectionTest, AnImageKindComesFromTheIntegratedImageOrOnItsOwnNeverBoth) {
    ImageSpec all = Spec(ImageFormat::kIntegrated);
    all.integrated.pda = PdaImageSpec{};
    const std::string allPath = Build("all.img", all);
    const std::string pda = Build("pda.nb0", Spec(ImageFormat::kPda));
    Press(kSelectPda, pda);
    Press(kSelectIntegrated, allPath);
    EXPECT_FALSE(dlg->IsSelected(kKindIntegrated));
    EXPECT_TRUE(dlg->IsSelected(kKindPda));
    EXPECT_THAT(dlg->MainLog(), EndsWith("carries a PDA image, and one is chosen on its own: "
                                         "clear that first \r\n"
                                         "Select integrated IMG file is incorrected. 4\r\n"));

    Press(kSelectPda, pda);  // clears it
    Press(kSelectIntegrated, allPath);
    ASSERT_TRUE(dlg->IsSelected(kKindIntegrated));
    dlg->OnDropFiles({pda});
    EXPECT_FALSE(dlg->IsSelected(kKindPda));
    EXPECT_THAT(dlg->MainLog(), EndsWith("[PDA] [" + pda +
                                         "] is not taken: the chosen Integrated image "
                                         "carries this kind \r\n"));
}

TEST_F(ImageSelectionTest, MultiCscFillsBothCombosAndFileSelectionRefillsLanguages) {
    ImageSpec spec = Spec(ImageFormat::kCsc);
    spec.csc.multi = true;
    spec.csc.files = {CscFile("A", "040C", {5, 7}), CscFile("B", "0409", {8, 10}, 3),
                      CscFile("C", "0412", {12, 5})};
    const std::string path = Build("multi.csc", spec);
    Press(kSelectCsc, path);
    ASSERT_TRUE(dlg->IsSelected(kKindCsc));
    EXPECT_EQ(g_nCscType, kCscMulti);
    EXPECT_THAT(view.combos[IDC_CSC_FILE_SELECT], ElementsAre("A", "B", "C"));
    EXPECT_EQ(view.GetComboSelection(IDC_CSC_FILE_SELECT), 0);
    EXPECT_THAT(view.combos[IDC_LANGUAGE_SELECT], ElementsAre("English(UK)", "French(France)"));
    EXPECT_EQ(view.GetComboSelection(IDC_LANGUAGE_SELECT), 1);

    // File C lies behind B's three blocks.
    view.comboSelection[IDC_CSC_FILE_SELECT] = 2;
    dlg->OnSelectCscFile();
    EXPECT_EQ(dlg->m_nSelectedCscFile, 2);
    EXPECT_THAT(view.combos[IDC_LANGUAGE_SELECT], ElementsAre("Korean(Korea)", "English(UK)"));
    EXPECT_EQ(view.GetComboSelection(IDC_LANGUAGE_SELECT), 0);
    const std::string cscLog = dlg->CscLog();
    EXPECT_THAT(cscLog, EndsWith("[CSC] Priority:[0x1]\r\n"));
    EXPECT_THAT(cscLog, HasSubstr("Information of selected CSC ------------------\r\n"
                                  "[CSC] Verision:[VC]\r\n"));
    EXPECT_EQ(view.text[IDC_CSC_INFO], cscLog);

    // The CSC button empties both combos whichever way it goes.
    Press(kSelectCsc, path);
    EXPECT_FALSE(dlg->IsSelected(kKindCsc));
    EXPECT_THAT(view.combos[IDC_CSC_FILE_SELECT], IsEmpty());
    EXPECT_THAT(view.combos[IDC_LANGUAGE_SELECT], IsEmpty());
    dlg->OnSelectCscFile();
    EXPECT_THAT(dlg->CscLog(), EndsWith("Multi CSC image is not selected\r\n"));
}

}  // namespace
}  // namespace varnel::test
