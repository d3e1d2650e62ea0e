// The Windows window's bench: the main window on the ports' devices (simulated handsets, or real
// ones through the file-handle transport or WinUSB), wired as every front end's bench is, with the
// window's choices kept in the registry and the host restored on every way out.
#pragma once

// First: the window's interfaces are declared under the names its macros give them.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/bench_application.h"
#include "app/platform_wiring.h"
#include "engine/clock.h"
#include "sim/sim_bus.h"
#include "ui/win32/registry_choice_store.h"
#include "ui/window_choices.h"

namespace varnel {

class Win32MainDialog;
class Win32WindowThread;

struct Win32BenchOptions {
    int nSimulated = 0;  // simulated handsets; 0: real devices
    DeviceOptions devices;
    // Real devices already plugged in attach when Detect is pressed, as if they arrived then.
    bool bAttachPresent = false;
    // Real devices only: the host's sync software is left running during a job.
    bool bKeepSyncSoftware = false;
    // A host for the sync software other than the system's (tests); with it the sync software
    // is controlled whatever the handsets are.
    SyncSoftwareHost* syncHost = nullptr;
    std::wstring strChoicesKey = kChoicesRegistryKey;
};

// The handsets of --simulate: each Detect takes the previous ones off the bus and plugs fresh
// ones in.
class SimulatedHandsets {
  public:
    SimulatedHandsets(SimBus& bus, int count) : m_bus(bus), m_nCount(count) {}
    void PlugAfterDetect();

  private:
    SimBus& m_bus;
    const int m_nCount;
    std::vector<std::string> m_paths;
};

class Win32Bench {
  public:
    Win32Bench(const Win32BenchOptions& options, Win32WindowThread& windowThread,
               Win32MainDialog& window);
    // Stops the workers and the device events before anything they use goes away, then starts
    // again the sync software a job stopped.
    ~Win32Bench();
    Win32Bench(const Win32Bench&) = delete;
    Win32Bench& operator=(const Win32Bench&) = delete;

    // The window's initialisation and the remembered choices. False when the devices cannot be
    // reached (`error` says why) or a start-up failure closed the window (its message box has
    // been shown). A remembered slot map that is wrong is left out, `warning` saying why.
    bool Start(std::string& error, std::string& warning);

    BenchApplication& Application() { return *m_pApplication; }

  private:
    BenchSetup Setup();
    void SaveChoices();
    void StopDeviceEvents();

    const Win32BenchOptions m_options;
    Win32MainDialog& m_window;
    SystemClock m_clock;
    SimBus m_bus;
    SimulatedHandsets m_handsets;
    // The real devices; null with simulated handsets.
    std::unique_ptr<DeviceSource> m_pDevices;
    std::unique_ptr<BenchApplication> m_pApplication;
    RegistryChoiceStore m_store;
    RememberedChoices m_remembered;
};

}  // namespace varnel
