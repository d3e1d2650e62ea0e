#include "app/bench_application.h"

#include <cctype>
#include <chrono>
#include <thread>

#include "engine/status.h"
#include "sim/sim_transport.h"

namespace varnel {

namespace {

// The port whose worker runs on this thread; -1 on every other thread.
thread_local int t_nWorkerPort = -1;

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

void ScaledClock::Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 1000ull / m_dwScale));
}

// --- CountingTransport ---

int CountingTransport::Open(const Guid& interfaceClass, const char* devicePath) {
    PassIoTimeout();
    const int opened = m_pInner->Open(interfaceClass, devicePath);
    if (opened) {
        RecordDevicePath(m_pInner->DevicePath());
    }
    return opened;
}

uint32_t CountingTransport::Write(const void* data, uint32_t size) {
    PassIoTimeout();
    const uint32_t written = m_pInner->Write(data, size);
    m_qwBytesSent += written;
    return written;
}

uint32_t CountingTransport::Read(void* buffer, uint32_t size, bool wait) {
    PassIoTimeout();
    return m_pInner->Read(buffer, size, wait);
}

uint32_t CountingTransport::ReadWait(void* buffer, uint32_t size) {
    PassIoTimeout();
    return m_pInner->ReadWait(buffer, size);
}

void CountingTransport::SetOption(int option) {
    CUsbInterface::SetOption(option);
    m_pInner->SetOption(option);
}

// --- BenchDialog ---

int PortOfLogEntry(std::string_view entry) {
    if (entry.empty() || entry[0] != '[') {
        return -1;
    }
    size_t at = 1;
    while (at < entry.size() && std::isalpha(static_cast<unsigned char>(entry[at]))) {
        ++at;
    }
    if (at > 1) {
        if (at >= entry.size() || entry[at] != ':') {
            return -1;
        }
        ++at;
    }
    if (at >= entry.size() || !IsDigit(entry[at])) {
        return -1;
    }
    const int port = entry[at] - '0';
    if (at + 1 < entry.size() && IsDigit(entry[at + 1])) {
        return -1;
    }
    return port < kPortCount ? port : -1;
}

BenchDialog::BenchDialog(DialogView& view, WindowThread& window, DialogHooks hooks)
    : CMorvaneDlg(view, window, std::move(hooks)) {}

BenchDialog::~BenchDialog() {
    Shutdown();
}

std::function<void(PortThreadParam&)> BenchDialog::PortTaggedWorker(
    std::function<void(PortThreadParam&)> body) {
    return [body = std::move(body)](PortThreadParam& param) {
        t_nWorkerPort = param.nPort;
        body(param);
        t_nWorkerPort = -1;
    };
}

void BenchDialog::AppendMainLogText(std::string_view entry) {
    // Port logs are written on the window thread only: what they gained before this entry
    // comes before it in the ports' records.
    if (Window().IsWindowThread()) {
        CollectPortLogs();
    }
    const int port = t_nWorkerPort >= 0 ? t_nWorkerPort : PortOfLogEntry(entry);
    if (port >= 0 && port < kPortCount) {
        std::lock_guard lock(m_RecordMutex);
        m_strPortRecord[port] += entry;
    }
    CMorvaneDlg::AppendMainLogText(entry);
}

void BenchDialog::SendDownloadStatus(uint32_t code, uint32_t param) {
    const int port = StatusPort(param);
    if (port >= 0 && port < kPortCount) {
        m_dwLastStatus[port] = code;
    }
    CMorvaneDlg::SendDownloadStatus(code, param);
}

void BenchDialog::CollectPortLogs() {
    for (int port = 0; port < kPortCount; ++port) {
        const std::string log = PortLog(port);
        std::lock_guard lock(m_RecordMutex);
        size_t& seen = m_nPortLogSeen[port];
        if (log.size() < seen) {
            m_strPortRecord[port].clear();
            seen = 0;
        }
        m_strPortRecord[port].append(log, seen);
        seen = log.size();
    }
}

std::string BenchDialog::PortRecord(int port) const {
    if (port < 0 || port >= kPortCount) {
        return {};
    }
    std::lock_guard lock(m_RecordMutex);
    return m_strPortRecord[port];
}

uint32_t BenchDialog::LastStatusCode(int port) const {
    return port >= 0 && port < kPortCount ? m_dwLastStatus[port].load() : 0;
}

// --- BenchApplication ---

BenchSetup SimulatedBenchSetup(SimBus& bus, Clock& clock) {
    BenchSetup setup;
    // The simulator's transport is a file-handle transport, as tty nodes are.
    setup.transportClass = TransportClass::kUsbInterface;
    setup.bControlSyncSoftware = false;
    setup.strSyncRecordPath.clear();
    setup.clock = &clock;
    setup.makeTransport = [&bus] { return std::make_unique<SimTransport>(bus); };
    setup.registerDevices = [&bus](DeviceEventListener& events, uint32_t&) {
        bus.AddListener(&events);
        return true;
    };
    return setup;
}

BenchApplication::BenchApplication(DialogView& view, WindowThread& window, BenchSetup setup)
    : m_view(view),
      m_setup(std::move(setup)),
      m_clock(m_setup.clock != nullptr ? *m_setup.clock : m_systemClock),
      m_platform(MakePlatformHost(m_setup.transportClass, m_setup.strSyncRecordPath)),
      m_pDialog([&] {
          WorkerServices tuning;
          tuning.clock = &m_clock;
          DialogHooks hooks;
          hooks.clock = &m_clock;
          hooks.osSetupLine = [this] { return m_host.OsSetupLine(); };
          hooks.topologyWarnings = m_setup.topologyWarnings;
          if (m_setup.bControlSyncSoftware && m_platform.bSyncControl) {
              tuning.sync = &m_stopUnlessKeptOff;
              hooks.stopSyncSoftware = [this] { m_stopUnlessKeptOff.StopSyncSoftware(); };
              hooks.restartSyncSoftware = [this] { m_sync.RestartSyncSoftware(); };
          }
          hooks.portWorker =
              PlatformPortWorker(BenchDialog::PortTaggedWorker(DownloadWorkerHook(tuning)));
          return std::make_unique<BenchDialog>(view, window, std::move(hooks));
      }()),
      m_sync(m_setup.syncHost != nullptr ? *m_setup.syncHost : *m_platform.syncHost, *m_pDialog,
             *m_platform.debug, m_clock, m_platform.syncNames),
      m_stopUnlessKeptOff(m_sync, *m_pDialog, m_setup.syncSoftwareLeftRunning),
      m_host(*m_platform.versions, m_strings, m_sync),
      m_deviceEvents(*m_pDialog) {}

BenchApplication::~BenchApplication() {
    // Every way out ends here (close, start-up failure, bad input, a signal that unwinds): the
    // host is left as it was found. A close has restarted already; this then does nothing.
    RestoreHost();
}

void BenchApplication::RestoreHost() {
    m_pDialog->Shutdown();
    m_sync.RestoreStopped();
}

bool BenchApplication::Start() {
    BenchDialog& dlg = *m_pDialog;
    m_sync.RestoreStopRecord();
    if (!m_host.DecideOs(*this)) {
        return false;
    }
    m_sync.SetVistaOrLater(m_platform.bServiceManager ? 1 : 0);
    for (int port = 0; port < kPortCount; ++port) {
        auto counter = std::make_unique<CountingTransport>(m_setup.makeTransport());
        m_pCounters[port] = counter.get();
        dlg.m_pTransport[port] = std::move(counter);
    }
    m_host.DecideDownloadRamSize(*this);
    dlg.m_bVistaOrLater = m_host.VistaOrLater();
    dlg.m_dwDownloadRamSize = m_host.DownloadRamSize();
    m_host.SetTitleAndSystemMenu(*this);
    m_host.RegisterDeviceNotifications(*this);
    dlg.InitDialogState();
    return !m_bCloseRequested;
}

uint64_t BenchApplication::BytesSent(int port) const {
    return port >= 0 && port < kPortCount && m_pCounters[port] != nullptr
               ? m_pCounters[port]->BytesSent()
               : 0;
}

void BenchApplication::ShowMessageBox(const std::string& text, const std::string& caption) {
    m_view.MessageBox(text, caption, MessageIcon::kError, MessageButtons::kOk);
}

bool BenchApplication::RegisterDeviceNotifications(uint32_t& errorCode) {
    if (!m_setup.registerDevices) {
        return true;
    }
    return m_setup.registerDevices(m_deviceEvents, errorCode);
}

}  // namespace varnel
