#include "app/win32/win32_bench.h"

#include "app/bench_devices.h"
#include "sim/virtual_handset.h"
#include "ui/win32/win32_main_dialog.h"
#include "ui/win32/win32_window_thread.h"

namespace varnel {

namespace {

constexpr char kProgram[] = "varnel-downloader";

}  // namespace

void SimulatedHandsets::PlugAfterDetect() {
    for (const std::string& path : m_paths) {
        m_bus.Unplug(path);
    }
    m_paths.clear();
    for (int index = 0; index < m_nCount; ++index) {
        const std::string path =
            m_bus.Plug(std::make_shared<VirtualHandset>(DemoHandsetConfig(index)));
        if (!path.empty()) {
            m_paths.push_back(path);
        }
    }
}

Win32Bench::Win32Bench(const Win32BenchOptions& options, Win32WindowThread& windowThread,
                       Win32MainDialog& window)
    : m_options(options),
      m_window(window),
      m_bus(m_clock),
      m_handsets(m_bus, options.nSimulated),
      m_pDevices(options.nSimulated > 0
                     ? nullptr
                     : MakeDeviceSource(options.devices,
                                        WindowMessageBox(window.View(), windowThread, kProgram))),
      m_pApplication(std::make_unique<BenchApplication>(window.View(), windowThread, Setup())),
      m_store(options.strChoicesKey) {
    m_window.Attach(m_pApplication->Dialog());
    if (m_pDevices == nullptr) {
        m_window.SetDetectListener([this] { m_handsets.PlugAfterDetect(); });
    } else if (m_options.bAttachPresent) {
        m_window.SetDetectListener([this] { m_pDevices->AnnouncePresent(); });
    }
    m_window.SetClosingListener([this] { SaveChoices(); });
    // The process may end as soon as the window has answered: what a close would leave behind is
    // done now.
    m_window.SetEndSessionListener([this] {
        SaveChoices();
        StopDeviceEvents();
        m_pApplication->RestoreHost();
    });
}

Win32Bench::~Win32Bench() {
    m_window.SetDetectListener(nullptr);
    m_window.SetClosingListener(nullptr);
    m_window.SetEndSessionListener(nullptr);
    m_pApplication->Dialog().Shutdown();
    StopDeviceEvents();
    m_window.Detach();
    m_pApplication.reset();
}

BenchSetup Win32Bench::Setup() {
    BenchSetup setup = m_pDevices ? DeviceBenchSetup(*m_pDevices, m_options.bKeepSyncSoftware)
                                  : SimulatedBenchSetup(m_bus, m_clock);
    if (m_options.syncHost != nullptr) {
        setup.syncHost = m_options.syncHost;
        setup.bControlSyncSoftware = true;
    }
    return setup;
}

bool Win32Bench::Start(std::string& error, std::string& warning) {
    if (m_pDevices && !m_pDevices->Prepare(error)) {
        return false;
    }
    m_window.InitWindow();
    if (!m_pApplication->Start()) {
        return false;
    }
    BenchDialog& dlg = m_pApplication->Dialog();
    m_remembered = ReadChoices(m_store);
    ApplyChoices(m_remembered, dlg, m_window.View());
    // A wrong slot map is ignored whole, never half applied.
    if (std::string slotError;
        m_remembered.slotMap && !ApplySlotMap(*m_remembered.slotMap, dlg, slotError)) {
        warning = "slots/map setting ignored: " + slotError;
    }
    return true;
}

void Win32Bench::SaveChoices() {
    WriteChoices(m_store, RememberedChoices(CurrentChoices(m_window.View()), m_remembered.slotMap));
}

void Win32Bench::StopDeviceEvents() {
    if (m_pDevices) {
        m_pDevices->Stop();
    }
    m_bus.RemoveListener(&m_pApplication->DeviceEvents());
}

}  // namespace varnel
