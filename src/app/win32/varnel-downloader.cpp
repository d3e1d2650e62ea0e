// The Windows desktop program: the native main window with its ports on simulated handsets
// (--simulate N). Handsets on USB come with the Windows platform layer.
//
// Exit status: 0 the window was closed; 1 the window could not be made; 2 bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/version.h"
#include "engine/clock.h"
#include "engine/download_worker.h"
#include "engine/host_startup.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "sim/virtual_handset.h"
#include "ui/morvane_dlg.h"
#include "ui/win32/registry_choice_store.h"
#include "ui/win32/resource.h"
#include "ui/win32/win32_main_dialog.h"
#include "ui/win32/win32_window_thread.h"
#include "ui/window_choices.h"

namespace varnel {
namespace {

constexpr char kProgram[] = "varnel-downloader";
constexpr char kUsage[] =
    "Usage: varnel-downloader --simulate N\n"
    "The download bench window, its ports on N simulated handsets (1-8) that are plugged in\n"
    "each time Detect is pressed.\n"
    "  --simulate N  simulated handsets\n"
    "  --help        this text\n"
    "  --version     the program's version\n";
// Paced like a handset on a high-speed port, so the window keeps up with every port's reports.
constexpr uint32_t kSimRoundTripMicros = 250;
constexpr uint64_t kSimFlashBytesPerSecond = 16ull << 20;

struct Arguments {
    int nSimulated = 0;
    bool bHelp = false;
    bool bVersion = false;
    std::string strError;
};

Arguments ParseArguments(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help") {
            parsed.bHelp = true;
        } else if (argument == "--version") {
            parsed.bVersion = true;
        } else if (argument == "--simulate" && index + 1 < arguments.size()) {
            const std::string& count = arguments[++index];
            char* end = nullptr;
            const long value = std::strtol(count.c_str(), &end, 10);
            if (count.empty() || *end != '\0' || value < 1 || value > kPortCount) {
                parsed.strError = "--simulate takes a number of handsets from 1 to 8";
                return parsed;
            }
            parsed.nSimulated = static_cast<int>(value);
        } else {
            parsed.strError = "unknown argument '" + argument + "'";
            return parsed;
        }
    }
    if (!parsed.bHelp && !parsed.bVersion && parsed.nSimulated == 0) {
        parsed.strError = "this build reaches handsets only through --simulate N";
    }
    return parsed;
}

// The "[Setup]" line Detect writes, by the Windows version the program runs on.
std::string OsSetupLine() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto getVersion = reinterpret_cast<RtlGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (getVersion != nullptr) {
        getVersion(&version);
    }
    if (version.dwMajorVersion <= 5) {
        return "[Setup] Windows XP \r\n";
    }
    if (version.dwMajorVersion == 6 && version.dwMinorVersion == 1) {
        return "[Setup] Windows 7 \r\n";
    }
    return "[Setup] Windows Vista \r\n";
}

// The handsets of --simulate: each Detect takes the previous ones off the bus and plugs fresh
// ones in.
class SimulatedHandsets {
  public:
    SimulatedHandsets(SimBus& bus, int count) : m_bus(bus), m_nCount(count) {}
    void PlugAfterDetect() {
        for (const std::string& path : m_paths) {
            m_bus.Unplug(path);
        }
        m_paths.clear();
        for (int index = 0; index < m_nCount; ++index) {
            HandsetConfig config;
            config.instance = "SIM" + std::to_string(index);
            config.recordMode = RecordMode::kDigest;
            config.timing.roundTripMicros = kSimRoundTripMicros;
            config.timing.flashBytesPerSecond = kSimFlashBytesPerSecond;
            const std::string path = m_bus.Plug(std::make_shared<VirtualHandset>(config));
            if (!path.empty()) {
                m_paths.push_back(path);
            }
        }
    }

  private:
    SimBus& m_bus;
    const int m_nCount;
    std::vector<std::string> m_paths;
};

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

int CMorvaneApp::RunWindow() {
    SystemClock clock;
    SimBus bus(clock);
    SimulatedHandsets handsets(bus, m_arguments.nSimulated);
    Win32WindowThread windowThread;
    Win32MainDialog window([] { PostQuitMessage(0); });
    if (window.Handle() == nullptr) {
        Print(stderr, std::string(kProgram) + ": the window could not be made\n");
        return 1;
    }
    WorkerServices tuning;
    tuning.clock = &clock;
    DialogHooks hooks;
    hooks.clock = &clock;
    hooks.portWorker = DownloadWorkerHook(tuning);
    hooks.osSetupLine = OsSetupLine;
    CMorvaneDlg dlg(window.View(), windowThread, std::move(hooks));
    for (auto& transport : dlg.m_pTransport) {
        transport = std::make_unique<SimTransport>(bus);
    }
    const uint32_t megabytes = static_cast<uint32_t>(
        std::strtoul(LoadResourceString(IDS_RAM_MEGABYTES).c_str(), nullptr, 10));
    dlg.m_dwDownloadRamSize = megabytes << 20;
    dlg.m_bVistaOrLater = OsSetupLine() != "[Setup] Windows XP \r\n";

    window.Attach(dlg);
    window.SetDetectListener([&handsets] { handsets.PlugAfterDetect(); });
    window.InitWindow();
    dlg.InitDialogState();
    // The choices of the last run, kept again as the window closes.
    RegistryChoiceStore store;
    RememberedChoices choices = ReadChoices(store);
    ApplyChoices(choices, dlg, window.View());
    if (std::string error; choices.slotMap && !ApplySlotMap(*choices.slotMap, dlg, error)) {
        Print(stderr, std::string(kProgram) + ": slots/map setting ignored: " + error + "\n");
    }
    window.SetClosingListener([&] {
        WriteChoices(store, RememberedChoices(CurrentChoices(window.View()), choices.slotMap));
    });
    WindowDeviceEvents events(dlg);
    bus.AddListener(&events);
    ShowWindow(window.Handle(), SW_SHOW);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!window.PreTranslateMessage(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    bus.RemoveListener(&events);
    dlg.Shutdown();
    window.Detach();
    return 0;
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
