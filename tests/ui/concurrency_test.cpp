// Eight workers report and log at once while the window thread runs its loop. Meant to run under
// ThreadSanitizer as well as plainly.
#include <regex>
#include <set>
#include <sstream>

#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

constexpr int kReportsPerPort = 200;

class ConcurrencyTest : public WindowTest {
  protected:
    ConcurrencyTest()
        : WindowTest([this](PortThreadParam& param) {
              const int port = param.nPort;
              dlg->m_PortSlot[port].nKind = port % kImageKindCount;
              for (int i = 0; i <= kReportsPerPort; ++i) {
                  dlg->AppendMainLog(
                      "[Port:%d] entry %d of a worker's log, long enough to matter\r\n", port, i);
                  dlg->SendDownloadStatus(kStatusRamProgress, StatusParam(port, i / 2));
              }
              dlg->SendDownloadStatus(port == 7 ? kStatusChecksumError : kStatusJobDone,
                                      StatusParam(port, 0));
              if (++workersDone == kPortCount) {
                  loop.Quit();
              }
          }) {}
    ~ConcurrencyTest() override { dlg->Shutdown(); }

    std::atomic<int> workersDone{0};
};

TEST_F(ConcurrencyTest, EightWorkersReportAndLogWithoutInterleaving) {
    for (int port = 0; port < kPortCount; ++port) {
        dlg->m_FreePortStack.Pop();
        Attach(port);
    }
    dlg->OnStartDownloading();
    loop.Run();
    dlg->Shutdown();

    EXPECT_EQ(dlg->m_nFinished, 7);
    EXPECT_EQ(dlg->m_nFailed, 1);
    EXPECT_EQ(view.text[IDC_DEVICE_COUNT], "Currently 7 device(s) detected.");
    EXPECT_EQ(view.drawingThreads, std::vector{std::this_thread::get_id()});

    const std::string log = dlg->MainLog();
    EXPECT_EQ(view.text[IDC_MAIN_LOG], log);
    const std::regex entry(R"(\[Port:(\d)\] entry (\d+) of a worker's log, long enough to matter)");
    std::istringstream lines(log);
    std::string line;
    int next[kPortCount] = {};
    int entries = 0;
    int finishedLines = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        if (line == "[Success] All Download finished. " || line.starts_with("[Result]")) {
            ++finishedLines;
            continue;
        }
        if (line.rfind("[Down]", 0) == 0) {
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, entry)) << line;
        const int port = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[port]++) << line;
        ++entries;
    }
    EXPECT_EQ(entries, kPortCount * (kReportsPerPort + 1));
    EXPECT_EQ(finishedLines, 2);
    EXPECT_TRUE(
        log.ends_with("[Success] All Download finished. \r\n[Result] 7 finished, 1 failed\r\n"));
    for (int port = 0; port < 7; ++port) {
        EXPECT_EQ(view.text[ProgressId(port)], "Job Done.Launched!!") << port;
        EXPECT_EQ(dlg->PortLog(port),
                  "[Success:" + std::to_string(port) + "] Finished downloading!\r\n");
    }
    EXPECT_EQ(view.pos[ProgressId(7)], kReportsPerPort / 2);
}

}  // namespace
}  // namespace varnel::test
