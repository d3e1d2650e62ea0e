// The Windows desktop program: the native main window with its ports on handsets through the
// file-handle transport (device interfaces and COM ports) or WinUSB, or on simulated handsets
// (--simulate N).
//
// Exit status: 0 the window was closed; 1 the devices could not be reached, the window could not
// be made or a start-up failure closed it (with --auto-start: a port failed); 2 bad arguments.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/version.h"
#include "app/win32/win32_bench.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/win32/win32_main_dialog.h"
#include "ui/win32/win32_window_thread.h"

namespace varnel {
namespace {

constexpr char kProgram[] = "varnel-downloader";
constexpr char kUsage[] =
    "Usage: varnel-downloader [--transport file|winusb] [--com NAME]... [--attach-present]\n"
    "                         [--keep-sync-software]\n"
    "       varnel-downloader --simulate N\n"
    "The download bench window. Handsets attach as they arrive after Detect is pressed.\n"
    "  --transport KIND      file (the boot loader's device interfaces and the COM ports of\n"
    "                        --com) or winusb (default)\n"
    "  --com NAME            with --transport file: try COM port NAME too, e.g. COM5\n"
    "                        (repeatable)\n"
    "  --attach-present      handsets plugged in before Detect attach when it is pressed\n"
    "  --keep-sync-software  leave the host's sync software running during a job\n"
    "  --simulate N          N (1-8) simulated handsets, plugged in each time Detect is pressed\n"
    "  --help                this text\n"
    "  --version             the program's version\n";
// How often --auto-start looks whether the job has ended.
constexpr UINT kAutoStartPollMs = 100;

struct Arguments {
    Win32BenchOptions bench;
    // Not in the usage (tests): Detect is pressed as the window opens, Start once as many handsets
    // as simulated or COM ports named have attached, and the window closes once every attached
    // port has finished or failed; the exit status then says whether all finished.
    bool bAutoStart = false;
    bool bHelp = false;
    bool bVersion = false;
    std::string strError;
};

Arguments ParseArguments(const std::vector<std::string>& arguments) {
    Arguments parsed;
    std::string transport;
    const auto fail = [&parsed](std::string error) {
        parsed.strError = std::move(error);
        return parsed;
    };
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const bool hasValue = index + 1 < arguments.size();
        if (argument == "--help") {
            parsed.bHelp = true;
        } else if (argument == "--version") {
            parsed.bVersion = true;
        } else if (argument == "--simulate" && hasValue) {
            const std::string& count = arguments[++index];
            char* end = nullptr;
            const long value = std::strtol(count.c_str(), &end, 10);
            if (count.empty() || *end != '\0' || value < 1 || value > kPortCount) {
                return fail("--simulate takes a number of handsets from 1 to 8");
            }
            parsed.bench.nSimulated = static_cast<int>(value);
        } else if (argument == "--transport" && hasValue) {
            transport = arguments[++index];
            if (transport != kFileHandleTransportName && transport != kUsbTransportName) {
                return fail("unknown transport '" + transport + "'");
            }
        } else if (argument == "--com" && hasValue) {
            parsed.bench.devices.comPorts.push_back(arguments[++index]);
        } else if (argument == "--attach-present") {
            parsed.bench.bAttachPresent = true;
        } else if (argument == "--keep-sync-software") {
            parsed.bench.bKeepSyncSoftware = true;
        } else if (argument == "--auto-start") {
            parsed.bAutoStart = true;
        } else {
            return fail("unknown argument '" + argument + "'");
        }
    }
    const bool realDevices = !transport.empty() || !parsed.bench.devices.comPorts.empty() ||
                             parsed.bench.bAttachPresent || parsed.bench.bKeepSyncSoftware;
    if (parsed.bench.nSimulated > 0 && realDevices) {
        return fail("--simulate N does not go with the options of real devices");
    }
    parsed.bench.devices.bFileHandle = transport == kFileHandleTransportName;
    if (!parsed.bench.devices.comPorts.empty() && !parsed.bench.devices.bFileHandle) {
        return fail("--com goes with --transport file");
    }
    return parsed;
}

void Print(FILE* stream, const std::string& text) {
    // A windowed program has no console of its own: write to the one it was started from.
    AttachConsole(ATTACH_PARENT_PROCESS);
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

// The program object: InitInstance runs the window until it closes and answers FALSE, so the
// program ends with it; ExitInstance gives the exit status.
class CMorvaneApp {
  public:
    explicit CMorvaneApp(const Arguments& arguments) : m_arguments(arguments) {}

    BOOL InitInstance() {
        m_nExitCode = RunWindow();
        return FALSE;
    }
    int ExitInstance() const { return m_nExitCode; }

  private:
    int RunWindow();

    const Arguments& m_arguments;
    int m_nExitCode = 0;
};

// --auto-start: presses Detect, then Start once the bench's handsets have attached, and closes
// the window when the job has ended; the exit status says how it went.
class AutoStart {
  public:
    AutoStart(Win32MainDialog& window, CMorvaneDlg& dlg, int handsets)
        : m_window(window), m_dlg(dlg), m_nHandsets(handsets) {
        s_pActive = this;
        m_timer = SetTimer(nullptr, 0, kAutoStartPollMs, OnTimer);
        Press(IDC_DETECT);
    }
    ~AutoStart() {
        KillTimer(nullptr, m_timer);
        s_pActive = nullptr;
    }
    AutoStart(const AutoStart&) = delete;
    AutoStart& operator=(const AutoStart&) = delete;

    bool AllFinished() const { return m_bEnded && m_dlg.m_nFailed == 0; }

  private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        if (s_pActive != nullptr) {
            s_pActive->Check();
        }
    }
    void Press(int id) {
        PostMessageW(m_window.Handle(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    void Check() {
        if (!m_bStarted && m_dlg.m_nDetected >= m_nHandsets) {
            m_bStarted = true;
            Press(IDC_START_DOWNLOADING);
        } else if (m_bStarted && !m_bEnded &&
                   m_dlg.m_nFinished + m_dlg.m_nFailed == m_dlg.m_nDetected) {
            m_bEnded = true;
            PostMessageW(m_window.Handle(), WM_CLOSE, 0, 0);
        }
    }

    static inline AutoStart* s_pActive = nullptr;
    Win32MainDialog& m_window;
    CMorvaneDlg& m_dlg;
    const int m_nHandsets;
    UINT_PTR m_timer = 0;
    bool m_bStarted = false;
    bool m_bEnded = false;
};

int CMorvaneApp::RunWindow() {
    Win32WindowThread windowThread;
    Win32MainDialog window([] { PostQuitMessage(0); });
    if (window.Handle() == nullptr) {
        Print(stderr, std::string(kProgram) + ": the window could not be made\n");
        return 1;
    }
    Win32Bench bench(m_arguments.bench, windowThread, window);
    std::string error;
    std::string warning;
    if (!bench.Start(error, warning)) {
        if (!error.empty()) {
            Print(stderr, std::string(kProgram) + ": " + error + "\n");
        }
        return 1;
    }
    if (!warning.empty()) {
        Print(stderr, std::string(kProgram) + ": " + warning + "\n");
    }
    ShowWindow(window.Handle(), SW_SHOW);
    std::unique_ptr<AutoStart> autoStart;
    if (m_arguments.bAutoStart) {
        const Win32BenchOptions& options = m_arguments.bench;
        const int handsets = options.nSimulated > 0
                                 ? options.nSimulated
                                 : std::max<int>(1, options.devices.comPorts.size());
        autoStart = std::make_unique<AutoStart>(window, bench.Application().Dialog(), handsets);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!window.PreTranslateMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return autoStart && !autoStart->AllFinished() ? 1 : 0;
}

}  // namespace
}  // namespace varnel

int main(int argc, char** argv) {
    using namespace varnel;
    const Arguments arguments = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (arguments.bHelp) {
        Print(stdout, kUsage);
        return 0;
    }
    if (arguments.bVersion) {
        Print(stdout, std::string(kProgram) + " " + kVersionText + "\n");
        return 0;
    }
    if (!arguments.strError.empty()) {
        Print(stderr, std::string(kProgram) + ": " + arguments.strError + "\n" + kUsage);
        return 2;
    }
    CMorvaneApp app(arguments);
    app.InitInstance();
    return app.ExitInstance();
}
