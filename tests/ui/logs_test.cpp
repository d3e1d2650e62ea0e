// The main log, the CSC box and the port logs.
#include <thread>

#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

using LogsTest = WindowTest;

TEST_F(LogsTest, EntriesAreFormattedAndContinueTheLastLine) {
    dlg->AppendMainLog("[Setup:%d] Device name:%s", 2, "ab12");
    dlg->AppendMainLog(" and more\r\n");
    dlg->AppendMainLog("%s", "next\r\n");
    EXPECT_EQ(dlg->MainLog(), "[Setup:2] Device name:ab12 and more\r\nnext\r\n");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], dlg->MainLog());
}

TEST_F(LogsTest, EntryLongerThanTheOldBufferIsKeptWhole) {
    const std::string longName(400, 'x');
    dlg->AppendMainLog("[CSC] File Name:[%s]\r\n", longName.c_str());
    EXPECT_EQ(dlg->MainLog(), "[CSC] File Name:[" + longName + "]\r\n");
}

TEST_F(LogsTest, BoxIsGivenOnlyTheNewTextOfEachEntry) {
    for (int i = 0; i < 100; ++i) {
        dlg->AppendMainLog("line %d\r\n", i);
    }
    size_t handedOver = 0;
    for (const auto& [id, text] : view.appendCalls) {
        EXPECT_EQ(id, IDC_MAIN_LOG);
        handedOver += text.size();
    }
    EXPECT_EQ(handedOver, dlg->MainLog().size());
}

TEST_F(LogsTest, ClearingEmptiesTheBoxAndTheNextEntryStartsAtTheTop) {
    dlg->AppendMainLog("old\r\n");
    dlg->ClearMainLog();
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "");
    dlg->AppendMainLog("new\r\n");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "new\r\n");
    EXPECT_EQ(dlg->MainLog(), "new\r\n");

    dlg->AppendCscLog("[CSC] Verision:[%s]\r\n", "V1");
    EXPECT_EQ(view.text[IDC_CSC_INFO], "[CSC] Verision:[V1]\r\n");
    dlg->ClearCscLog();
    EXPECT_EQ(view.text[IDC_CSC_INFO], "");
    EXPECT_EQ(dlg->CscLog(), "");
    EXPECT_EQ(dlg->MainLog(), "new\r\n");
}

TEST_F(LogsTest, PortLogOutsideTheRangeIsIgnored) {
    dlg->AppendPortLog(8, "lost %d\r\n", 8);
    dlg->AppendPortLog(-1, "lost\r\n");
    dlg->AppendPortLog(7, "[Setup:%d] PDA Device Found! TimeOut:%d\r\n", 7, 2);
    for (int port = 0; port < 7; ++port) {
        EXPECT_EQ(dlg->PortLog(port), "") << port;
    }
    EXPECT_EQ(dlg->PortLog(7), "[Setup:7] PDA Device Found! TimeOut:2\r\n");
    EXPECT_EQ(dlg->MainLog(), "");
}

TEST_F(LogsTest, SeeLogShowsACopyUnderThePortTitle) {
    dlg->OnSeeLog(3);
    ASSERT_EQ(view.logWindows.size(), 1u);
    EXPECT_EQ(view.logWindows[0].nThread, 3);
    EXPECT_EQ(view.logWindows[0].strTitle, "Thread 3 Log:");
    EXPECT_EQ(view.logWindows[0].strLog, "");

    dlg->AppendPortLog(0, "first\r\n");
    const LogWindowData shown = dlg->SeeLogData(0);
    dlg->AppendPortLog(0, "second\r\n");
    EXPECT_EQ(shown.strTitle, "Thread 0 Log:");
    EXPECT_EQ(shown.strLog, "first\r\n");
}

TEST_F(LogsTest, WorkerEntriesReachTheBoxOnTheWindowThreadInOrder) {
    std::thread worker([&] { dlg->AppendMainLog("[PDA:%d] from worker\r\n", 1); });
    worker.join();
    EXPECT_EQ(dlg->MainLog(), "[PDA:1] from worker\r\n");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "");  // not drawn from the worker's thread

    dlg->AppendMainLog("from window\r\n");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "[PDA:1] from worker\r\nfrom window\r\n");
    loop.RunPending();
    EXPECT_EQ(view.text[IDC_MAIN_LOG], dlg->MainLog());
    EXPECT_EQ(view.drawingThreads, std::vector{std::this_thread::get_id()});
}

TEST_F(LogsTest, ClearingDropsWorkerTextNotYetShown) {
    std::thread worker([&] { dlg->AppendMainLog("before clear\r\n"); });
    worker.join();
    dlg->ClearMainLog();
    loop.RunPending();
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "");
    std::thread later([&] { dlg->AppendMainLog("after clear\r\n"); });
    later.join();
    loop.RunPending();
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "after clear\r\n");
}

TEST_F(LogsTest, ClearAllPortsEmptiesTheMainLogAndThePortLogs) {
    dlg->AppendMainLog("job\r\n");
    dlg->AppendPortLog(4, "port\r\n");
    dlg->AppendCscLog("csc\r\n");
    dlg->ClearAllPorts();
    EXPECT_EQ(dlg->MainLog(), "");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], "");
    EXPECT_EQ(dlg->PortLog(4), "");
    EXPECT_EQ(dlg->CscLog(), "csc\r\n");
}

}  // namespace
}  // namespace varnel::test
