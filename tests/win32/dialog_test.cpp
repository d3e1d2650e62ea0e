// The Windows window driven as an operator would: clicks, combo choices and drops through window
// messages, whole jobs of simulated handsets, and what the controls then show.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "images/utf8_path.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "support/image_dir.h"
#include "support/sim_port.h"
#include "tests/ui/test_window.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/win32/registry_choice_store.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_main_dialog.h"
#include "ui/win32/win32_text.h"
#include "ui/win32/win32_window_thread.h"
#include "ui/window_choices.h"
#include "win32/window_picture.h"

namespace varnel::test {
namespace {

constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

// Answers the next dialog box this thread opens (a message box, the log window) from inside its
// modal loop: `answer` gets the box's handle.
std::function<void(HWND)> g_answer;
HWND g_mainWindow = nullptr;

BOOL CALLBACK FindDialogBox(HWND window, LPARAM found) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (window != g_mainWindow && IsWindowVisible(window) && lstrcmpW(className, L"#32770") == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK AnswerTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindDialogBox, reinterpret_cast<LPARAM>(&box));
    if (box != nullptr && g_answer) {
        KillTimer(nullptr, timer);
        std::exchange(g_answer, nullptr)(box);
    }
}

void AnswerNextBox(std::function<void(HWND)> answer) {
    g_answer = std::move(answer);
    SetTimer(nullptr, 0, 10, AnswerTimer);
}

void PressButton(HWND box, int id) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

// The window thread with a look after every message it runs for another thread: workers report
// without pause, so the window thread may not return to its loop until the job has ended.
class WatchedWindowThread final : public WindowThread {
  public:
    explicit WatchedWindowThread(WindowThread& inner) : inner_(inner) {}
    bool Send(Message message) override {
        return inner_.Send([this, &message] {
            message();
            if (watch) {
                watch();
            }
        });
    }
    bool Post(Message message) override { return inner_.Post(std::move(message)); }
    bool IsWindowThread() const override { return inner_.IsWindowThread(); }
    void Shutdown() override { inner_.Shutdown(); }

    std::function<void()> watch;

  private:
    WindowThread& inner_;
};

ImageSpec PdaSpec(uint64_t size) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = size;
    spec.pda.langpack = true;
    return spec;
}

class Win32DialogTest : public ::testing::Test {
  protected:
    Win32DialogTest() : timeouts_(300) {
        ClearJobGlobals();
        window_ = std::make_unique<Win32MainDialog>();
        g_mainWindow = window_->Handle();
        dlg_ = std::make_unique<CMorvaneDlg>(window_->View(), watched_, TestWindowHooks(clock_));
        for (auto& transport : dlg_->m_pTransport) {
            transport = std::make_unique<SimTransport>(bus_);
        }
        window_->Attach(*dlg_);
        window_->InitWindow();
        dlg_->InitDialogState();
        ShowWindow(window_->Handle(), SW_SHOWNA);
        events_ = std::make_unique<WindowDeviceEvents>(*dlg_);
        bus_.AddListener(events_.get());
    }

    ~Win32DialogTest() override {
        bus_.RemoveListener(events_.get());
        dlg_->Shutdown();
        window_->Detach();
    }

    HWND Dialog() const { return window_->Handle(); }
    HWND Item(int id) const { return GetDlgItem(Dialog(), id); }
    std::string Text(int id) const { return WindowText(Item(id)); }
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    void Choose(int comboId, int index) {
        SendMessageW(Item(comboId), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(Dialog(), WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Item(comboId)));
    }
    // The background colour the dialog gives a static control when it draws.
    COLORREF BackgroundOf(int id) {
        HDC dc = CreateCompatibleDC(nullptr);
        SetBkColor(dc, RGB(1, 2, 3));
        SendMessageW(Dialog(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(Item(id)));
        const COLORREF color = GetBkColor(dc);
        DeleteDC(dc);
        return color;
    }
    // Files dropped on the window, as the shell hands them over.
    void Drop(const std::vector<std::string>& paths) {
        std::wstring names;
        for (const std::string& path : paths) {
            names += Widen(path) + L'\0';
        }
        names += L'\0';
        HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + names.size() * sizeof(wchar_t));
        auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        memcpy(drop + 1, names.data(), names.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        SendMessageW(Dialog(), WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    }

    void PumpPending() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!window_->PreTranslateMessage(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    bool PumpUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        // One message at a time: workers report without pause, so the queue may never empty.
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            MSG message;
            if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            } else if (!window_->PreTranslateMessage(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        return true;
    }

    std::shared_ptr<VirtualHandset> Plug(const std::string& instance, HandsetConfig config = {}) {
        config.instance = instance;
        auto handset = std::make_shared<VirtualHandset>(config);
        bus_.Plug(handset);
        PumpPending();
        return handset;
    }
    void DetectWithPda(uint64_t size) {
        Drop({images_.Build("a.nb0", PdaSpec(size))});
        ASSERT_TRUE(IsWindowEnabled(Item(IDC_DETECT)));
        Click(IDC_DETECT);
    }
    bool JobFinished() { return dlg_->MainLog().find(kAllFinished) != std::string::npos; }

    ScopedProtocolTimeouts timeouts_;
    FakeClock clock_;
    SimBus bus_{clock_};
    ImageDir images_;
    Win32WindowThread thread_;
    WatchedWindowThread watched_{thread_};
    std::unique_ptr<Win32MainDialog> window_;
    std::unique_ptr<CMorvaneDlg> dlg_;
    std::unique_ptr<WindowDeviceEvents> events_;
};

TEST_F(Win32DialogTest, TheTemplateCarriesEveryControlTitleAndAboutItem) {
    ASSERT_NE(Dialog(), nullptr);
    std::vector<int> ids(kJobControls.begin(), kJobControls.end());
    for (const auto* group : {&kPortCaptionIds, &kPortResetIds, &kSeeLogIds}) {
        ids.insert(ids.end(), group->begin(), group->end());
    }
    ids.insert(ids.end(), kImagePathIds.begin(), kImagePathIds.end());
    for (int port = 0; port < kPortCount; ++port) {
        ids.push_back(ProgressId(port));
    }
    ids.insert(ids.end(),
               {IDC_MAIN_LOG, IDC_DEVICE_COUNT, IDC_CSC_INFO, IDC_PICTURE, IDC_LANGUAGE_SELECT,
                IDC_CSC_FILE_SELECT, IDC_MODE_SELECT, IDC_SMD_GROUP});
    for (int id : ids) {
        EXPECT_NE(Item(id), nullptr) << id;
    }
    EXPECT_EQ(WindowText(Dialog()), "Varnel Downloader v2.11");
    wchar_t about[64] = {};
    GetMenuStringW(GetSystemMenu(Dialog(), FALSE), IDM_ABOUTBOX, about, 64, MF_BYCOMMAND);
    EXPECT_EQ(Narrow(about), "Varnel Multi-Threaded Downloader Information...");
    EXPECT_EQ(Text(kPortCaptionIds[0]), "PDA 0");
    EXPECT_FALSE(IsWindowVisible(Item(IDC_SMD_GROUP)));
}

TEST_F(Win32DialogTest, ModeSelectShowsAndHidesTheSmdControls) {
    ASSERT_EQ(SendMessageW(Item(IDC_MODE_SELECT), CB_GETCOUNT, 0, 0), 2);
    Choose(IDC_MODE_SELECT, 1);
    EXPECT_TRUE(IsWindowVisible(Item(IDC_SMD_GROUP)));
    EXPECT_TRUE(IsWindowVisible(Item(IDC_SMD_CHECK)));
    Choose(IDC_MODE_SELECT, 0);
    EXPECT_FALSE(IsWindowVisible(Item(IDC_SMD_PATH)));
}

TEST_F(Win32DialogTest, AnImageInAFolderNamedInHangulIsChosenAndWritten) {
    const std::string folder = images_.Path() + "\\\xEC\x9D\xB4\xEB\xAF\xB8\xEC\xA7\x80";  // 이미지
    ASSERT_TRUE(std::filesystem::create_directory(Utf8Path(folder)));
    const std::string built = images_.Build("a.nb0", PdaSpec(30000));
    const std::string path = folder + "\\a.nb0";
    std::filesystem::rename(built, Utf8Path(path));

    Drop({path});
    EXPECT_EQ(Text(IDC_PDA_PATH), path);
    ASSERT_TRUE(IsWindowEnabled(Item(IDC_DETECT))) << dlg_->MainLog();
    Click(IDC_DETECT);
    Plug("HS0");
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); })) << dlg_->MainLog();
    EXPECT_EQ(Text(kPortCaptionIds[0]), "OK 0");
}

// What the operator chose, kept in the registry as the window closes, comes back in the next one.
TEST_F(Win32DialogTest, ChoicesKeptInTheRegistryAsTheWindowClosesComeBackInTheNext) {
    const wchar_t kKey[] = L"Software\\Varnel\\DownloaderTest";
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    RegistryChoiceStore store(kKey);
    Choose(IDC_MODE_SELECT, 1);
    ImageSpec smdSpec;
    smdSpec.format = ImageFormat::kSmd;
    const std::string smd = images_.Build("a.smd", smdSpec);
    Drop({smd});
    Click(IDC_SMD_CHECK);
    const std::vector<std::string> slots = {"1=SIM0", "2=SIM1"};
    window_->SetClosingListener(
        [&] { WriteChoices(store, RememberedChoices(CurrentChoices(window_->View()), slots)); });
    SendMessageW(Dialog(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(window_->IsClosed());

    Win32MainDialog next;
    CMorvaneDlg dlg(next.View(), watched_, TestWindowHooks(clock_));
    next.Attach(dlg);
    next.InitWindow();
    dlg.InitDialogState();
    const RememberedChoices read = ReadChoices(store);
    ApplyChoices(read, dlg, next.View());
    EXPECT_EQ(SendDlgItemMessageW(next.Handle(), IDC_MODE_SELECT, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageW(next.Handle(), IDC_SMD_CHECK, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(WindowText(GetDlgItem(next.Handle(), IDC_SMD_PATH)), smd);
    EXPECT_TRUE(dlg.IsSelected(kKindSmd));
    EXPECT_EQ(read.slotMap, slots);
    dlg.Shutdown();
    next.Detach();
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
}

TEST_F(Win32DialogTest, EightHandsetsRunAWholeJobToBlueCaptionsAndFullBars) {
    DetectWithPda(30000);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_PDA_BUTTON)));
    for (int index = 0; index < kPortCount; ++index) {
        Plug("HS" + std::to_string(index));
    }
    // The eighth attach starts the job by itself.
    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); }));
    PumpPending();

    for (int port = 0; port < kPortCount; ++port) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Text(kPortCaptionIds[port]), "OK " + std::to_string(port));
        EXPECT_EQ(BackgroundOf(kPortCaptionIds[port]), RGB(0, 0, 255));
        EXPECT_EQ(Text(ProgressId(port)).rfind("Job Done.", 0), 0u);
        EXPECT_EQ(window_->View().ProgressBar(port).GetPos(), 100);
        EXPECT_TRUE(IsWindowEnabled(Item(kPortResetIds[port])));
    }
    EXPECT_NE(Text(IDC_MAIN_LOG).find(kAllFinished), std::string::npos);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_DETECT)));
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_PDA_BUTTON)));
}

TEST_F(Win32DialogTest, AFailedPortTurnsRedAndResetAllClearsEveryRow) {
    DetectWithPda(20000);
    Plug("GOOD");
    HandsetConfig failing;
    failing.faults.wrongChunkSumAt = 2;
    Plug("BAD", failing);
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); }));

    EXPECT_EQ(BackgroundOf(kPortCaptionIds[1]), RGB(255, 0, 0));
    EXPECT_EQ(Text(ProgressId(1)), "[FAIL] PDA Checksum !!");
    EXPECT_EQ(BackgroundOf(kPortCaptionIds[0]), RGB(0, 0, 255));
    EXPECT_EQ(Text(IDC_DEVICE_COUNT), "Currently 1 device(s) detected.");
    // A read-only edit asks for its colours too; it keeps the system's.
    EXPECT_EQ(BackgroundOf(IDC_EBOOT_PATH), GetSysColor(COLOR_BTNFACE));

    Click(IDC_RESET_ALL);
    EXPECT_EQ(BackgroundOf(kPortCaptionIds[1]), RGB(255, 255, 0));
    EXPECT_EQ(Text(ProgressId(1)), "Waiting for device..");
    EXPECT_EQ(window_->View().ProgressBar(1).GetPos(), 0);
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_DETECT)));
}

TEST_F(Win32DialogTest, SeeLogShowsThePortsLogUnderItsTitle) {
    dlg_->AppendPortLog(2, "[Setup:2] found\r\n");
    std::string title;
    std::string log;
    AnswerNextBox([&](HWND box) {
        title = WindowText(GetDlgItem(box, IDC_LOG_WINDOW_TITLE));
        log = WindowText(GetDlgItem(box, IDC_LOG_WINDOW_TEXT));
        PressButton(box, IDCANCEL);
    });
    Click(kSeeLogIds[2]);
    EXPECT_EQ(title, "Thread 2 Log:");
    EXPECT_EQ(log, "[Setup:2] found\r\n");
}

TEST_F(Win32DialogTest, ClosingMidJobAsksWithCancelAsTheDefaultAndOkEndsTheWorkers) {
    SetProtocolTimeouts({60000, 60000, 2000});  // a stalled device would hold a worker a minute
    DetectWithPda(100000);
    HandsetConfig stalled;
    stalled.faults.stallAt = 4;
    Plug("STALL", stalled);
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(
        PumpUntil([this] { return dlg_->m_PortSlot[0].nState.load() == kPortDownloading; }));

    bool cancelIsDefault = false;
    AnswerNextBox([&](HWND box) {
        // Return presses the focused push button, which is drawn as the default.
        cancelIsDefault = GetFocus() == GetDlgItem(box, IDCANCEL) &&
                          (GetWindowLongW(GetDlgItem(box, IDCANCEL), GWL_STYLE) & BS_TYPEMASK) ==
                              BS_DEFPUSHBUTTON;
        PressButton(box, IDCANCEL);
    });
    SendMessageW(Dialog(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(cancelIsDefault);
    ASSERT_TRUE(IsWindow(Dialog()));

    AnswerNextBox([](HWND box) { PressButton(box, IDOK); });
    HWND dialog = Dialog();
    SendMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_TRUE(window_->IsClosed());
}

TEST_F(Win32DialogTest, TheBarRepaintsOnlyWhenItsFilledWidthChanges) {
    CTextProgressCtrl& bar = window_->View().ProgressBar(0);
    UpdateWindow(bar.Handle());
    SetWindowTextW(bar.Handle(), L"");
    UpdateWindow(bar.Handle());
    const int before = bar.PaintCount();
    bar.SetPos(50);
    EXPECT_EQ(bar.PaintCount(), before + 1);
    EXPECT_EQ(bar.DisplayedText(), "50%");
    RECT client{};
    GetClientRect(bar.Handle(), &client);
    if (client.right > 100) {
        bar.SetPos(50);  // same width: no paint
        EXPECT_EQ(bar.PaintCount(), before + 1);
    }
    bar.SetRange(0, 0);
    bar.SetPos(10);
    EXPECT_EQ(bar.PaintCount(), before + 1) << "an empty range paints nothing";
}

// Under a real display (VARNEL_SCREENSHOT_DIR set): pictures of the window idle, mid-job and
// finished, and the port colours as the screen shows them.
TEST_F(Win32DialogTest, ScreenshotsOfAJobOnARealDisplay) {
    const char* directory = std::getenv("VARNEL_SCREENSHOT_DIR");
    if (directory == nullptr) {
        GTEST_SKIP() << "no display to take pictures of";
    }
    const auto picture = [&](const char* name) {
        RedrawWindow(Dialog(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        GdiFlush();
        EXPECT_TRUE(SaveWindowPicture(Dialog(), std::string(directory) + "\\" + name)) << name;
    };
    const auto screenColor = [&](int id) {
        RECT rect{};
        GetWindowRect(Item(id), &rect);
        HDC screen = GetDC(nullptr);
        const COLORREF color = GetPixel(screen, rect.left + 2, (rect.top + rect.bottom) / 2);
        ReleaseDC(nullptr, screen);
        return color;
    };
    ShowWindow(Dialog(), SW_SHOW);
    Drop({images_.Build("a.nb0", PdaSpec(3000000))});
    picture("idle.bmp");

    Click(IDC_DETECT);
    for (int index = 0; index + 1 < kPortCount; ++index) {
        Plug("HS" + std::to_string(index));
    }
    HandsetConfig failing;
    failing.faults.wrongChunkSumAt = 40;
    bool tookMidJob = false;
    watched_.watch = [&] {
        if (!tookMidJob && Text(ProgressId(0)).rfind("Writing", 0) == 0) {
            tookMidJob = true;
            picture("mid-job.bmp");
        }
    };
    Plug("BAD", failing);

    ASSERT_TRUE(PumpUntil([this] { return JobFinished(); }));
    watched_.watch = nullptr;
    EXPECT_TRUE(tookMidJob);
    picture("finished.bmp");
    EXPECT_EQ(screenColor(kPortCaptionIds[0]), RGB(0, 0, 255));
    EXPECT_EQ(screenColor(kPortCaptionIds[7]), RGB(255, 0, 0));
    EXPECT_EQ(screenColor(ProgressId(0)), GetSysColor(COLOR_HIGHLIGHT));
}

TEST(Win32WindowThreadTest, ShutdownAnswersASendUnderWayWithoutRunningIt) {
    Win32WindowThread window;
    bool ran = false;
    bool sent = true;
    std::thread worker([&] { sent = window.Send([&] { ran = true; }); });
    // Wait, without answering, until the worker's message is pending.
    while ((HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) == 0) {
        Sleep(1);
    }
    window.Shutdown();
    worker.join();
    EXPECT_FALSE(sent);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(window.Post([] {}));
}

TEST(Win32WindowThreadTest, PostedMessagesRunInOrderOnTheWindowThread) {
    Win32WindowThread window;
    std::vector<int> order;
    bool onWindowThread = true;
    std::thread worker([&] {
        for (int index = 0; index < 3; ++index) {
            window.Post([&, index] {
                order.push_back(index);
                onWindowThread = onWindowThread && window.IsWindowThread();
            });
        }
    });
    worker.join();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onWindowThread);
}

TEST(Win32TextTest, OpenFilterPairsEndWithAnEmptyString) {
    EXPECT_EQ(OpenFileFilter("EBoot Image (*.eb0)|*.eb0|"),
              std::wstring(L"EBoot Image (*.eb0)\0*.eb0\0\0", 27));
}

}  // namespace
}  // namespace varnel::test
