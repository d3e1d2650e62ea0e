// The terminal view and the pieces of the bench application the command line stands on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/bench_application.h"
#include "support/sim_port.h"
#include "ui/control_ids.h"
#include "ui/terminal_view.h"

namespace varnel::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A stream in memory whose contents can be read back.
class CapturedStream {
  public:
    CapturedStream() : m_file(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(m_file); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    FILE* File() { return m_file; }
    std::string Text() {
        std::fflush(m_file);
        const long size = std::ftell(m_file);
        std::string text(static_cast<size_t>(size), '\0');
        std::rewind(m_file);
        text.resize(std::fread(text.data(), 1, text.size(), m_file));
        std::fseek(m_file, 0, SEEK_END);
        return text;
    }

  private:
    FILE* m_file;
};

class TerminalViewTest : public ::testing::Test {
  protected:
    TerminalStreams Streams(bool live = false) {
        TerminalStreams streams;
        streams.log = log_.File();
        streams.status = status_.File();
        streams.answers = answers_.File();
        streams.bLiveProgress = live;
        streams.bLogOnTerminal = live;
        streams.columns = [] { return 100; };
        return streams;
    }
    void Answer(const std::string& text) {
        std::fputs(text.c_str(), answers_.File());
        std::rewind(answers_.File());
    }

    CapturedStream log_;
    CapturedStream status_;
    CapturedStream answers_;
};

TEST_F(TerminalViewTest, MainLogIsPrintedOnceAsItGrowsWithThePlatformsLineEnds) {
    TerminalView view(Streams());
    std::string copied;
    view.SetMainLogCopy([&copied](std::string_view text) { copied += text; });
    view.AppendText(IDC_MAIN_LOG, "[Setup] one \r\n");
    // Writing the record to the controls sets the whole log: only the new part is printed.
    view.SetText(IDC_MAIN_LOG, "[Setup] one \r\n[Setup] two \r\n");
    view.SetText(IDC_MAIN_LOG, "[Setup] one \r\n[Setup] two \r\n");
    // Other edits (the CSC box) are not the log.
    view.AppendText(IDC_CSC_INFO, "[CSC] box\r\n");
    // An emptied log starts over.
    view.SetText(IDC_MAIN_LOG, "");
    view.AppendText(IDC_MAIN_LOG, "[Setup] three \r\n");

    const std::string expected = "[Setup] one \n[Setup] two \n[Setup] three \n";
    EXPECT_EQ(log_.Text(), expected);
    EXPECT_EQ(copied, expected);
    EXPECT_EQ(view.GetText(IDC_MAIN_LOG), "[Setup] three \r\n");
    EXPECT_EQ(status_.Text(), "");
}

TEST_F(TerminalViewTest, MessageBoxesArePrintedAndQuestionsAnswered) {
    TerminalView quiet(Streams());
    EXPECT_EQ(quiet.MessageBox("\r\n체크하면 NV Data 영역이 삭제됩니다.", "경고",
                               MessageIcon::kExclamation, MessageButtons::kOk),
              MessageResult::kOk);
    // Without anyone to ask, the question is answered OK.
    EXPECT_EQ(quiet.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                               MessageButtons::kOkCancel),
              MessageResult::kOk);
    EXPECT_EQ(status_.Text(),
              "경고:\n체크하면 NV Data 영역이 삭제됩니다.\n"
              "Confirm: Now Downloading! Quit Anyway? OK\n");

    TerminalStreams streams = Streams();
    streams.bInteractive = true;
    TerminalView asking(streams);
    Answer("  cancel\n\n");
    EXPECT_EQ(asking.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                                MessageButtons::kOkCancel),
              MessageResult::kCancel);
    EXPECT_EQ(asking.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                                MessageButtons::kOkCancel),
              MessageResult::kOk);
    // The end of the answers (or an interrupt while waiting) counts as OK.
    EXPECT_EQ(asking.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                                MessageButtons::kOkCancel),
              MessageResult::kOk);
    EXPECT_THAT(status_.Text(), HasSubstr("Quit Anyway? [OK/cancel] "));
}

TEST_F(TerminalViewTest, ReturnAloneAnswersCancelWhereCancelIsTheDefault) {
    TerminalStreams streams = Streams();
    streams.bInteractive = true;
    TerminalView asking(streams);
    Answer("\nok\n");
    const auto ask = [&asking] {
        return asking.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                                 MessageButtons::kOkCancelDefaultCancel);
    };
    EXPECT_EQ(ask(), MessageResult::kCancel);
    EXPECT_EQ(ask(), MessageResult::kOk);
    // Scripts without a terminal still get OK at the end of their input.
    EXPECT_EQ(ask(), MessageResult::kOk);
    EXPECT_THAT(status_.Text(), HasSubstr("Quit Anyway? [ok/CANCEL] "));
}

TEST_F(TerminalViewTest, FileDialogAnswersWithTheGivenPathOnce) {
    TerminalView view(Streams());
    view.SetNextChosenFile("/images/a.nb0");
    EXPECT_EQ(view.ChooseFile("PDA(Savrel) Image (*.nb0)|*.nb0|"), "/images/a.nb0");
    EXPECT_EQ(view.ChooseFile("PDA(Savrel) Image (*.nb0)|*.nb0|"), std::nullopt);
}

TEST_F(TerminalViewTest, ProgressLineShowsCaptionBarAndStatusWithinTheWidth) {
    TerminalView view(Streams());
    const auto now = std::chrono::steady_clock::now();
    view.SetText(kPortCaptionIds[2], "PDA 2");
    view.SetBkColor(kPortCaptionIds[2], kColorFailed);
    view.SetProgressPos(ProgressId(2), 50);
    view.SetText(ProgressId(2), "[FAIL] PDA Checksum !!");
    EXPECT_EQ(view.ProgressLine(2, now, 100, false),
              "PDA 2    [######------] [FAIL] PDA Checksum !!");
    EXPECT_EQ(view.ProgressLine(2, now, 100, true),
              "\x1b[97;41mPDA 2   \x1b[0m [######------] [FAIL] PDA Checksum !!");
    EXPECT_EQ(view.ProgressLine(2, now, 20, false), "PDA 2    [######----");

    // An empty status text shows the percentage, as the bar draws it; positions are clamped.
    view.SetText(ProgressId(2), "");
    view.SetProgressPos(ProgressId(2), 130);
    EXPECT_EQ(view.ProgressLine(2, now, 100, false), "PDA 2    [############] 100%");
}

TEST_F(TerminalViewTest, ProgressIsDrawnOnlyOnATerminalAndAtMostTenTimesASecond) {
    TerminalView plain(Streams());
    plain.SetProgressPos(ProgressId(0), 10);
    plain.RefreshProgress(true);
    EXPECT_EQ(status_.Text(), "");

    TerminalView live(Streams(true));
    live.RefreshProgress();
    const std::string first = status_.Text();
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), kPortCount);
    live.SetProgressPos(ProgressId(0), 20);
    live.RefreshProgress();
    EXPECT_EQ(status_.Text(), first) << "a redraw within a tenth of a second";
    live.RefreshProgress(true);
    EXPECT_THAT(status_.Text().substr(first.size()), StartsWith("\r\x1b[8A"));

    // A log line on the same terminal takes the picture away first; it is drawn again below.
    const size_t before = status_.Text().size();
    live.AppendText(IDC_MAIN_LOG, "[Setup] line \r\n");
    EXPECT_EQ(status_.Text().substr(before), "\r\x1b[8A\x1b[J");
    EXPECT_EQ(log_.Text(), "[Setup] line \n");
}

// A rate and a time left while bytes move; during a wait only the state.
TEST_F(TerminalViewTest, PaceIsShownOnlyWhileBytesMove) {
    TerminalView view(Streams(true));
    const auto start = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    view.SetTrafficSource([&](int) { return PortTraffic{sent, 4u << 20, start}; });
    view.SetText(ProgressId(0), "[Down] PDA Image.");
    view.ProgressLine(0, start, 100, false);
    sent = 1u << 20;
    EXPECT_THAT(view.ProgressLine(0, start + std::chrono::seconds(1), 100, false),
                EndsWith("[Down] PDA Image.  1.0 MB/s ETA 0:03"));
    view.SetText(ProgressId(0), "Waiting for the handset");
    EXPECT_THAT(view.ProgressLine(0, start + std::chrono::seconds(2), 100, false),
                EndsWith("] Waiting for the handset"));
}

// Standard error that is no terminal gets plain lines of the ports under way, now and then.
TEST_F(TerminalViewTest, PlainProgressHasNoEscapesAndComesEveryFewSeconds) {
    TerminalStreams streams = Streams();
    streams.bPlainProgress = true;
    TerminalView view(streams);
    const auto start = std::chrono::steady_clock::now();
    view.SetTrafficSource([&](int port) {
        return PortTraffic{0, 100, port == 1 ? std::optional(start) : std::nullopt};
    });
    view.SetJobLineSource([] { return std::string("Job: 0 done"); });
    view.SetText(kPortCaptionIds[1], "PDA 1");
    view.SetBkColor(kPortCaptionIds[1], kColorAttached);
    view.RefreshProgress();
    view.RefreshProgress();
    EXPECT_EQ(status_.Text(), "progress PDA 1    [------------] 0%\nprogress Job: 0 done\n");
}

TEST(PortOfLogEntryTest, ReadsThePortFromTheEntrysTag) {
    EXPECT_EQ(PortOfLogEntry("[PDA:3] Download start 0x0\r\n"), 3);
    EXPECT_EQ(PortOfLogEntry("[Error:1d] Another same device Found. TimeOut:2\r\n"), 1);
    EXPECT_EQ(PortOfLogEntry("[7]Reconnect Success!!\r\n"), 7);
    EXPECT_EQ(PortOfLogEntry("[Setup] Download Ram Size :1 bytes,(0 MB) \r\n"), -1);
    EXPECT_EQ(PortOfLogEntry("[LNG]Language Select check\r\n"), -1);
    EXPECT_EQ(PortOfLogEntry("[PDA:12] two digits\r\n"), -1);
    EXPECT_EQ(PortOfLogEntry("[PDA:9] no such port\r\n"), -1);
    EXPECT_EQ(PortOfLogEntry("OnDeviceChange x\r\n"), -1);
    EXPECT_EQ(PortOfLogEntry(""), -1);
}

TEST(CountingTransportTest, CountsWhatIsSentAndPassesPathAndTimeOutThrough) {
    SimPort port;
    auto inner = std::make_unique<SimTransport>(port.bus);
    SimTransport* innerView = inner.get();
    CountingTransport counting(std::move(inner));
    ASSERT_TRUE(counting.Open(GUID_BOOTLOADER_INTERFACE));
    EXPECT_STREQ(counting.DevicePath(), port.path.c_str());
    EXPECT_TRUE(counting.IsOpen());

    counting.SetIoTimeout(1234);
    EXPECT_EQ(counting.Write(kHandshakeRequest, 4), 4u);
    EXPECT_EQ(innerView->IoTimeout(), 1234u);
    uint8_t reply[4] = {};
    EXPECT_EQ(counting.ReadWait(reply, 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 4), "OKUD");
    EXPECT_EQ(counting.BytesSent(), 4u);
    counting.Close();
    EXPECT_FALSE(counting.IsOpen());
}

}  // namespace
}  // namespace varnel::test
