// The desktop program's bench: its command line, where the ports' devices come from (USB through
// libusb, tty nodes, or simulated handsets) and the application around the Qt main window.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/bench_application.h"
#include "app/bench_devices.h"
#include "app/job_history.h"
#include "app/job_recorder.h"
#include "engine/protocol.h"
#include "platform/system.h"
#include "sim/sim_bus.h"
#include "transport/device_path.h"
#include "ui/qt/window_choices.h"

namespace varnel {

class QtMainWindow;

enum class TransportKind { kSim, kTty, kLibusb };

struct DesktopOptions {
    TransportKind transport = TransportKind::kLibusb;
    int nSimulated = 0;
    uint32_t dwTimeScale = 1;
    // Longest wait for a long operation's reply (format, block write, check word).
    uint32_t dwLongReplyLimitMs = ProtocolTimeouts{}.longOperationMs;
    std::string strTtyDirectory = kDefaultTtyDirectory;
    std::vector<std::string> usbIds;
    // Real devices already plugged in attach when Detect is pressed, as if they arrived then.
    bool bAttachPresent = false;
    // Real devices only: the host's sync software is left running during a job.
    bool bKeepSyncSoftware = false;
    // Images, boxes, mode and starting over given on the command line: over what was remembered.
    WindowChoices choices;
    // Each job and its ports into the history at `strHistoryFile` (the program's default: on, in
    // the usual place), the bench named `strBenchName` there.
    bool bHistory = false;
    std::string strHistoryFile;
    std::string strBenchName = HostName();
};

struct DesktopArguments {
    std::optional<DesktopOptions> options;  // empty when the program ends here
    std::string strError;                   // why the arguments are wrong
    std::string strHelp;                    // set when --help was asked for
};

// `arguments` as the program got them, its name first.
DesktopArguments ParseDesktopArguments(const QStringList& arguments);

// The handsets of --simulate: each Detect takes the previous ones off the bus and plugs fresh
// ones in, one after another, as an operator plugs them in after pressing Detect.
class SimulatedHandsets {
  public:
    SimulatedHandsets(SimBus& bus, int count) : m_bus(bus), m_nCount(count) {}
    void PlugAfterDetect();

  private:
    SimBus& m_bus;
    const int m_nCount;
    std::vector<std::string> m_paths;
    // Owns the pending arrivals: they are dropped with it.
    QObject m_arrivals;
};

class DesktopBench {
  public:
    DesktopBench(const DesktopOptions& options, WindowThread& windowThread, QtMainWindow& window);
    // Stops the workers and the device events before anything they use goes away.
    ~DesktopBench();
    DesktopBench(const DesktopBench&) = delete;
    DesktopBench& operator=(const DesktopBench&) = delete;

    // The window's initialisation, then the choices remembered in `settings` (null: none) with
    // the command line's over them. False when the devices cannot be reached (`error` says why)
    // or a start-up failure closed the window (its message box has been shown).
    bool Start(std::string& error, QSettings* settings = nullptr);

    // Remembers what the window shows for the next run, with the slot map as it was read.
    void SaveChoices(QSettings& settings);

    BenchApplication& Application() { return *m_pApplication; }
    // The slot map as the settings keep it ("slots/map": one "N=PORTPATH" a line, as varnel-cli's
    // --slot-map file). False with `error`, the map unchanged, when an entry is wrong.
    bool SetSlotMap(const std::string& text, std::string& error);
    // Real devices only: what the "Devices" view shows.
    std::vector<ListedDevice> ListDevices();
    void ShowDevices();
    // The "History" view of the bench's last jobs.
    void ShowHistory();
    SimBus& Bus() { return m_bus; }

  private:
    BenchSetup Setup();
    void StopDeviceEvents();
    // The history, when asked for; one that cannot be opened is said in the main log and the
    // bench runs without it.
    void OpenHistory();
    // Detect began a job: its images and options go on record.
    void StartJob();
    // Record what the ports did since the last look.
    void RecordPorts();
    // The job's end, once: its result and every port's record. A job cut short (Reset All, the
    // window closing) ends "interrupted", or "no handset" when none attached.
    void EndJob();
    nlohmann::json OptionsJson();
    // A history that stopped recording is said once in the main log.
    void NoteHistoryFailure();

    const DesktopOptions m_options;
    QtMainWindow& m_window;
    const StringTable m_strings;
    ScaledClock m_clock;
    SimBus m_bus;
    SimulatedHandsets m_handsets;
    // The real devices; null with simulated handsets.
    std::unique_ptr<DeviceSource> m_pDevices;
    std::unique_ptr<BenchApplication> m_pApplication;
    QMetaObject::Connection m_detectConnection;
    QMetaObject::Connection m_jobConnection;
    std::optional<QStringList> m_slotMap;
    std::unique_ptr<JobHistory> m_pHistory;
    bool m_bHistoryFailureShown = false;
    JobRecorder m_recorder;
    int m_nJob = 0;
    bool m_bJobOpen = false;
    // While a job is open, what its ports do is recorded as it happens.
    QTimer m_recordTimer;
};

}  // namespace varnel
