// The application around the main window: the window's logic on a given view, with its host
// (start-up decisions, sync-software control), one transport per port and the device events,
// assembled in the order the window's initialisation expects. Every front end (the command line,
// the desktop window) runs its bench through it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/platform_wiring.h"
#include "app/startup_decisions.h"
#include "app/sync_software_control.h"
#include "engine/clock.h"
#include "transport/usb_interface.h"
#include "ui/morvane_dlg.h"

namespace varnel {

// Real time with every pause shortened and the tick count sped up by `scale`, for simulated
// benches whose handsets need not be waited for as long as real ones.
class ScaledClock final : public Clock {
  public:
    explicit ScaledClock(uint32_t scale) : m_dwScale(scale == 0 ? 1 : scale) {}
    void Sleep(uint32_t milliseconds) override;
    uint64_t TickCount() override { return m_real.TickCount() * m_dwScale; }

  private:
    const uint32_t m_dwScale;
    SystemClock m_real;
};

// A port's transport that counts the bytes sent through it, for the rate a view shows.
class CountingTransport final : public CUsbInterface {
  public:
    explicit CountingTransport(std::unique_ptr<CUsbInterface> inner) : m_pInner(std::move(inner)) {}

    int Open(const Guid& interfaceClass, const char* devicePath = nullptr) override;
    void Close() override { m_pInner->Close(); }
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size, bool wait) override;
    uint32_t ReadWait(void* buffer, uint32_t size) override;
    void SetOption(int option) override;
    int IsOpen() const override { return m_pInner->IsOpen(); }
    DeviceIdentity Identity() const override { return m_pInner->Identity(); }
    bool LastOpenDenied() const override { return m_pInner->LastOpenDenied(); }

    uint64_t BytesSent() const { return m_qwBytesSent.load(); }

  private:
    // The time-out is set on this object; the transport that does the work needs it.
    void PassIoTimeout() { m_pInner->SetIoTimeout(IoTimeout()); }

    const std::unique_ptr<CUsbInterface> m_pInner;
    std::atomic<uint64_t> m_qwBytesSent{0};
};

// The main window, keeping besides what a record of the job needs: the lines of each port (its
// port log and the main-log entries about it, in the order they came) and its last status code.
class BenchDialog final : public CMorvaneDlg {
  public:
    BenchDialog(DialogView& view, WindowThread& window, DialogHooks hooks);
    // Stops the workers before the records they write to go away.
    ~BenchDialog() override;

    // A worker body whose main-log entries are known to be its port's, whatever they say.
    static std::function<void(PortThreadParam&)> PortTaggedWorker(
        std::function<void(PortThreadParam&)> body);

    void AppendMainLogText(std::string_view entry) override;
    void SendDownloadStatus(uint32_t code, uint32_t param) override;

    // Window thread: takes in what the port logs gained since the last call. A port log that
    // shrank belongs to a cleared slot, so that port's record starts over.
    void CollectPortLogs();
    // The port's lines, each entry as it was written (with its "\r\n").
    std::string PortRecord(int port) const;
    // The last status code reported for the port; 0 when none was.
    uint32_t LastStatusCode(int port) const;

  private:
    mutable std::mutex m_RecordMutex;
    std::array<std::string, kPortCount> m_strPortRecord;
    std::array<size_t, kPortCount> m_nPortLogSeen{};
    std::array<std::atomic<uint32_t>, kPortCount> m_dwLastStatus{};
};

// The port a main-log entry is about, from its tag ("[PDA:3]", "[Error:3d]", "[3]..."); -1 when
// the tag names none.
int PortOfLogEntry(std::string_view entry);

struct BenchSetup {
    // The ports' transport class, which the OS decision stands for where the platform derives
    // the version from it.
    TransportClass transportClass = TransportClass::kUsbInterface;
    // Whether the host's sync software is stopped and restarted; a simulated bench leaves it
    // alone, since no real handset is there for it to claim.
    bool bControlSyncSoftware = true;
    // Why the sync software may keep running at a point where it would be stopped (udev keeps
    // it off every device the bench opens); nullopt, or no function: it is stopped.
    SyncSoftwareUnlessKeptOff::LeftRunningReason syncSoftwareLeftRunning;
    // Where what was stopped is recorded until it is started again; a start finds there what a
    // run that died left stopped, and starts it. Empty: no record.
    std::string strSyncRecordPath = DefaultStopRecordPath();
    // The sync software's host; this system's own when null.
    SyncSoftwareHost* syncHost = nullptr;
    // Every pause of the window and the workers; real time when null.
    Clock* clock = nullptr;
    // Makes the transport of one port.
    std::function<std::unique_ptr<CUsbInterface>()> makeTransport;
    // Registers the window's device events with the device monitor; false with the system's
    // error code when that fails.
    std::function<bool(DeviceEventListener& events, uint32_t& errorCode)> registerDevices;
    // Warnings about a handset's place on the USB tree (DialogHooks::topologyWarnings); none when
    // not given.
    decltype(DialogHooks::topologyWarnings) topologyWarnings;
};

class SimBus;

// Ports on the handsets of a simulated bus, with every pause on `clock`. The host's sync software
// is left alone: no real handset is there for it to claim.
BenchSetup SimulatedBenchSetup(SimBus& bus, Clock& clock);

class BenchApplication final : private StartupWindow {
  public:
    BenchApplication(DialogView& view, WindowThread& window, BenchSetup setup);
    // Stops and joins the workers first, then starts again the sync software it stopped; the
    // owner unregisters the device events before.
    ~BenchApplication() override;
    BenchApplication(const BenchApplication&) = delete;
    BenchApplication& operator=(const BenchApplication&) = delete;

    // The window's initialisation, after restoring what a run that died left stopped. False when
    // a start-up failure closed the window (its message box has been shown).
    bool Start();

    // Stops and joins the workers, then starts again the sync software the job stopped: the
    // destructor's teardown, for a way out that may not reach it (the session ending kills the
    // process once its window has answered).
    void RestoreHost();

    BenchDialog& Dialog() { return *m_pDialog; }
    const BenchDialog& Dialog() const { return *m_pDialog; }
    DeviceEventListener& DeviceEvents() { return m_deviceEvents; }
    const std::string& Title() const { return m_strTitle; }
    uint64_t BytesSent(int port) const;

  private:
    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    void RequestClose() override { m_bCloseRequested = true; }
    void SetWindowTitle(const std::string& title) override { m_strTitle = title; }
    void AppendAboutMenuItem(const std::string&) override {}
    bool RegisterDeviceNotifications(uint32_t& errorCode) override;

    DialogView& m_view;
    const BenchSetup m_setup;
    SystemClock m_systemClock;
    Clock& m_clock;
    PlatformHost m_platform;
    StringTable m_strings;
    std::unique_ptr<BenchDialog> m_pDialog;
    SyncSoftwareControl m_sync;
    SyncSoftwareUnlessKeptOff m_stopUnlessKeptOff;
    StartupDecisions m_host;
    WindowDeviceEvents m_deviceEvents;
    std::array<CountingTransport*, kPortCount> m_pCounters{};
    std::string m_strTitle;
    bool m_bCloseRequested = false;
};

}  // namespace varnel
