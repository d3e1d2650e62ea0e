// The main window's own handlers: start-up, data exchange, Detect, Mode Select, the option
// warnings and Close.
#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

using MainWindowTest = WindowTest;

TEST_F(MainWindowTest, StartUpFillsModeSelectHidesSmdControlsAndStopsSync) {
    EXPECT_EQ(view.combos[IDC_MODE_SELECT], (std::vector<std::string>{"NORMAL", "SMD"}));
    EXPECT_EQ(view.GetComboSelection(IDC_MODE_SELECT), 0);
    for (int id : {1102, 1043, 1045, 1088, 1086, 1053, 1095, 1096, 1103}) {
        EXPECT_FALSE(view.IsShown(id)) << id;
    }
    EXPECT_TRUE(view.IsShown(IDC_PDA_BUTTON));
    EXPECT_EQ(stopSyncCalls, 1);
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));
    EXPECT_FALSE(view.IsEnabled(IDC_RESET_ALL));
    EXPECT_TRUE(view.IsEnabled(IDC_PDA_BUTTON));
    EXPECT_EQ(dlg->m_FreePortStack.Top(), 0);
}

TEST_F(MainWindowTest, DataExchangeMovesPathsAndOptionsBothWays) {
    view.text[1045] = "/images/full.smd";
    view.text[1026] = "/images/modem.bin";
    view.checks[1099] = true;
    view.checks[1096] = true;
    dlg->UpdateData(true);
    EXPECT_EQ(dlg->Path(kKindSmd), "/images/full.smd");
    EXPECT_EQ(dlg->Path(kKindPhone), "/images/modem.bin");
    EXPECT_EQ(dlg->m_bSkipBootWait, 1);
    EXPECT_EQ(dlg->m_bUpdatePhoneBoot, 1);
    EXPECT_EQ(dlg->m_bEraseCsc, 0);

    dlg->SetPath(kKindContents, "/images/data.mct");
    dlg->m_bSkipBootWait = 0;
    dlg->m_bKeepEbootCfg = 1;
    dlg->UpdateData(false);
    EXPECT_EQ(view.text[1052], "/images/data.mct");
    EXPECT_FALSE(view.checks[1099]);
    EXPECT_TRUE(view.checks[1093]);
}

TEST_F(MainWindowTest, WarningShowsOnceWhenCheckedAndNotWhenUnchecked) {
    const std::pair<int, const char*> warnings[] = {
        {1088, "\r\n체크하면 NV Data 영역이 삭제됩니다."},
        {1086, "\r\n체크하면 NV BackUp 영역이 삭제됩니다."},
        {1047,
         "\r\n단말기 한대만 다운로드할때 체크하세요.\r\n\r\n체크하면 단말기 Detection 하고 즉시 "
         "다운로드를 시작합니다."},
        {1053,
         "\r\n체크하면 EFS 영역을 삭제하고 초기화시킵니다.\r\n\r\nEFS 영역의 IMEI 값도 삭제되니 "
         "주의하세요."},
        {1096, "\r\n체크하면 폰모듈의 부트영역이 업데이트됩니다."},
    };
    for (const auto& [id, text] : warnings) {
        view.messageBoxes.clear();
        view.checks[id] = true;
        dlg->OnOptionCheck(id);
        ASSERT_EQ(view.messageBoxes.size(), 1u) << id;
        EXPECT_EQ(view.messageBoxes[0].text, text);
        EXPECT_EQ(view.messageBoxes[0].caption, "경고");
        EXPECT_EQ(view.messageBoxes[0].icon, MessageIcon::kExclamation);
        EXPECT_EQ(view.messageBoxes[0].buttons, MessageButtons::kOk);
        view.checks[id] = false;
        dlg->OnOptionCheck(id);
        EXPECT_EQ(view.messageBoxes.size(), 1u) << id;
    }
    EXPECT_EQ(dlg->m_bStartImmediately, 0);
    view.checks[IDC_ERASE_CSC] = true;
    dlg->OnOptionCheck(IDC_ERASE_CSC);
    EXPECT_EQ(view.messageBoxes.size(), 1u);
    // A box without a warning is stored too, so the next refresh of the controls keeps it.
    view.checks[IDC_SMD_CHECK] = true;
    dlg->OnOptionCheck(IDC_SMD_CHECK);
    dlg->ResetAll();
    EXPECT_TRUE(view.checks[IDC_SMD_CHECK]);
    EXPECT_EQ(dlg->m_bSmdCheck, 1);
}

TEST_F(MainWindowTest, DetectWithACscImageUnticksEraseCscAndStartsDetecting) {
    dlg->m_bCsc = 1;
    view.checks[IDC_ERASE_CSC] = true;
    view.checks[IDC_KEEP_EBOOT_CFG] = true;
    view.comboSelection[IDC_LANGUAGE_SELECT] = 3;
    dlg->m_dwDownloadRamSize = 41777920;
    const size_t firstEnable = view.enableCalls.size();

    dlg->OnDetect();
    EXPECT_EQ(dlg->m_bEraseCsc, 0);
    EXPECT_FALSE(view.checks[IDC_ERASE_CSC]);
    EXPECT_TRUE(view.checks[IDC_KEEP_EBOOT_CFG]);
    EXPECT_EQ(dlg->m_SelectLangID, 3);
    EXPECT_EQ(dlg->MainLog(),
              "[Setup] Windows 7 \r\n[Setup] Download Ram Size :41777920 bytes,(39 MB) \r\n");
    EXPECT_EQ(dlg->m_bWaitingForDevice, 1);
    auto expected = JobControlCalls(false);
    expected.emplace_back(1069, true);
    expected.emplace_back(1094, false);
    expected.emplace_back(1097, false);
    expected.emplace_back(1101, false);
    EXPECT_EQ(view.EnableCallsFrom(firstEnable), expected);
    EXPECT_EQ(stopSyncCalls, 2);
}

TEST_F(MainWindowTest, DetectWithoutALanguageSelectionChoosesNone) {
    dlg->m_SelectLangID = 5;
    dlg->OnDetect();
    EXPECT_EQ(dlg->m_SelectLangID, -1);
    EXPECT_EQ(dlg->m_bEraseCsc, 0);
}

TEST_F(MainWindowTest, ModeSelectShowsSmdControlsAndBackToNormalDropsTheSmdImage) {
    view.comboSelection[IDC_MODE_SELECT] = 1;
    dlg->OnModeSelect();
    for (int id : {1102, 1043, 1045, 1103}) {
        EXPECT_TRUE(view.IsShown(id)) << id;
    }
    EXPECT_FALSE(view.IsShown(IDC_ERASE_NV_DATA));

    dlg->m_bSmd = 1;
    dlg->m_bPda = 1;
    dlg->SetPath(kKindSmd, "/images/full.smd");
    dlg->SetPath(kKindPda, "/images/os.nb0");
    dlg->SetSpan(kKindSmd, {0, 4096});
    dlg->UpdateData(false);
    dlg->OnDetect();
    Attach(0);
    dlg->AppendMainLog("job\r\n");

    view.comboSelection[IDC_MODE_SELECT] = 0;
    dlg->OnModeSelect();
    for (int id : {1102, 1043, 1045, 1103}) {
        EXPECT_FALSE(view.IsShown(id)) << id;
    }
    EXPECT_EQ(dlg->m_nDetected, 0);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 0);
    EXPECT_EQ(dlg->MainLog(), "");
    EXPECT_EQ(dlg->m_bSmd, 0);
    EXPECT_EQ(dlg->Path(kKindSmd), "");
    EXPECT_EQ(dlg->Span(kKindSmd).dwSize, 0u);
    EXPECT_EQ(view.text[IDC_SMD_PATH], "");
    EXPECT_EQ(view.text[IDC_PDA_PATH], "/images/os.nb0");
    EXPECT_TRUE(view.IsEnabled(IDC_DETECT));  // the PDA image is still chosen
}

TEST_F(MainWindowTest, BackToNormalWithoutAnSmdImageResetsNothing) {
    dlg->OnDetect();
    Attach(0);
    view.comboSelection[IDC_MODE_SELECT] = 0;
    dlg->OnModeSelect();
    EXPECT_EQ(dlg->m_nDetected, 1);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 1);
}

TEST_F(MainWindowTest, DeselectingTheLastImageDisablesDetect) {
    dlg->m_bTelvik = 1;
    dlg->SetPath(kKindTelvik, "/images/os.sst");
    g_nTelvikType = 2;
    dlg->UpdateData(false);
    view.enabled[IDC_DETECT] = true;
    dlg->DeselectImage(kKindTelvik);
    EXPECT_EQ(dlg->m_bTelvik, 0);
    EXPECT_EQ(g_nTelvikType, 0);
    EXPECT_EQ(view.text[IDC_TELVIK_PATH], "");
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));
}

TEST_F(MainWindowTest, DeselectingTheIntegratedImageShowsItsComponentsAgain) {
    for (int id : {1019, 1020, 1035, 1023, 1037, 1040}) {
        view.shown[id] = false;
    }
    dlg->m_bIntegrated = 1;
    dlg->m_bPhone = 1;
    view.enabled[IDC_DETECT] = true;
    dlg->DeselectImage(kKindIntegrated);
    for (int id : {1019, 1020, 1035, 1023, 1037, 1040, 1036, 1026, 1041, 1042}) {
        EXPECT_TRUE(view.IsShown(id)) << id;
    }
    EXPECT_TRUE(view.IsEnabled(IDC_DETECT));
}

TEST_F(MainWindowTest, CloseWithNothingDetectedClosesWithoutAsking) {
    EXPECT_TRUE(dlg->OnClose());
    EXPECT_TRUE(view.messageBoxes.empty());
    EXPECT_EQ(view.closeCount, 1);
    EXPECT_EQ(restartSyncCalls, 1);
    EXPECT_TRUE(dlg->StopRequested());
}

TEST_F(MainWindowTest, CloseAfterEveryPortEndedClosesWithoutAsking) {
    AttachRunning(0);
    Report(0, kStatusJobDone, 0);
    EXPECT_TRUE(dlg->OnClose());
    EXPECT_TRUE(view.messageBoxes.empty());
}

TEST_F(MainWindowTest, CloseMidJobAsksAndCancelKeepsTheWindow) {
    Attach(0);
    Attach(1);
    dlg->OnStartDownloading();
    Report(0, kStatusJobDone, 0);

    view.messageBoxAnswers.push_back(MessageResult::kCancel);
    EXPECT_FALSE(dlg->OnClose());
    ASSERT_EQ(view.messageBoxes.size(), 1u);
    EXPECT_EQ(view.messageBoxes[0].text, "Now Downloading! Quit Anyway?");
    EXPECT_EQ(view.messageBoxes[0].buttons, MessageButtons::kOkCancelDefaultCancel);
    EXPECT_EQ(view.closeCount, 0);
    EXPECT_EQ(restartSyncCalls, 1);
    EXPECT_FALSE(dlg->StopRequested());

    view.messageBoxAnswers.push_back(MessageResult::kOk);
    EXPECT_TRUE(dlg->OnClose());
    EXPECT_EQ(view.messageBoxes.size(), 2u);
    EXPECT_EQ(view.closeCount, 1);
    EXPECT_EQ(restartSyncCalls, 2);
}

}  // namespace
}  // namespace varnel::test
