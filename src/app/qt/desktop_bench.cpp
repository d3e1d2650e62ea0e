#include "app/qt/desktop_bench.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include <QComboBox>
#include <QCommandLineParser>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include "app/qt/history_dialog.h"
#include "app/version.h"
#include "ui/control_ids.h"
#include "ui/qt/devices_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel {

namespace {

constexpr char kProgram[] = "varnel-downloader";
// Simulated handsets: the gap between two arrivals.
constexpr int kArrivalGapMs = 100;
constexpr uint32_t kMaxTimeScale = 1000;
// How often an open job's ports are looked at for its record.
constexpr int kRecordTickMs = 100;

struct TransportName {
    TransportKind kind;
    const char* name;
};
constexpr TransportName kTransportNames[] = {
    {TransportKind::kSim, "sim"}, {TransportKind::kTty, "tty"}, {TransportKind::kLibusb, "libusb"}};

const char* NameOf(TransportKind kind) {
    for (const TransportName& entry : kTransportNames) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "";
}

std::unique_ptr<DeviceSource> MakeDevices(const DesktopOptions& options, DialogView& view,
                                          WindowThread& windowThread) {
    if (options.transport == TransportKind::kSim) {
        return nullptr;
    }
    DeviceOptions devices;
    devices.bFileHandle = options.transport == TransportKind::kTty;
    devices.strTtyDirectory = options.strTtyDirectory;
    devices.usbIds = options.usbIds;
    return MakeDeviceSource(std::move(devices), WindowMessageBox(view, windowThread, kProgram));
}

}  // namespace

DesktopArguments ParseDesktopArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes firmware into up to eight handsets."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("N (1-8) simulated handsets arrive after Detect."), QStringLiteral("N"));
    const QCommandLineOption timeScale(
        QStringLiteral("sim-time-scale"),
        QStringLiteral("With --simulate, every pause runs N times faster (1)."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption transport(
        QStringLiteral("transport"),
        QStringLiteral("sim, tty or libusb (default: sim with --simulate, else libusb)."),
        QStringLiteral("KIND"));
    const QCommandLineOption ttyDir(QStringLiteral("tty-dir"),
                                    QStringLiteral("Directory of the tty nodes (tty transport)."),
                                    QStringLiteral("DIR"), ToQString(kDefaultTtyDirectory));
    const QCommandLineOption usbId(
        QStringLiteral("usb-id"), QStringLiteral("Boot-loader USB id (libusb and tty transports)."),
        QStringLiteral("VID:PID"));
    const QCommandLineOption attachPresent(
        QStringLiteral("attach-present"),
        QStringLiteral("Handsets plugged in before Detect attach when it is pressed."));
    const QCommandLineOption keepSyncSoftware(
        QStringLiteral("keep-sync-software"),
        QStringLiteral("Leave the host's sync software (ModemManager) running."));
    const QCommandLineOption longReplyLimit(
        QStringLiteral("long-reply-limit"),
        QStringLiteral("Longest wait for a format, block write or check word (600)."),
        QStringLiteral("SECONDS"), QStringLiteral("600"));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral("Record the jobs in the history database FILE (default: "
                       "$XDG_DATA_HOME/varnel/history.sqlite3)."),
        QStringLiteral("FILE"));
    const QCommandLineOption noHistory(QStringLiteral("no-history"),
                                       QStringLiteral("Record no job history."));
    const QCommandLineOption bench(
        QStringLiteral("bench"),
        QStringLiteral("The bench's name in its job history (default: the host name)."),
        QStringLiteral("NAME"));
    parser.addOptions({simulate, timeScale, transport, ttyDir, usbId, attachPresent,
                       keepSyncSoftware, longReplyLimit, history, noHistory, bench});
    AddChoiceOptions(parser);

    DesktopArguments result;
    if (!parser.parse(arguments)) {
        result.strError = ToStdString(parser.errorText());
        return result;
    }
    if (parser.isSet(help)) {
        result.strHelp = ToStdString(parser.helpText());
        return result;
    }
    DesktopOptions options;
    bool valid = true;
    if (parser.isSet(simulate)) {
        options.nSimulated = parser.value(simulate).toInt(&valid);
        if (!valid || options.nSimulated < 1 || options.nSimulated > kPortCount) {
            result.strError = "--simulate takes 1 to 8";
            return result;
        }
    }
    options.dwTimeScale = parser.value(timeScale).toUInt(&valid);
    if (!valid || options.dwTimeScale < 1 || options.dwTimeScale > kMaxTimeScale) {
        result.strError = "--sim-time-scale takes 1 to 1000";
        return result;
    }
    const uint32_t longReplySeconds = parser.value(longReplyLimit).toUInt(&valid);
    if (!valid || longReplySeconds < 1 || longReplySeconds > 86400) {
        result.strError = "--long-reply-limit takes 1 to 86400 seconds";
        return result;
    }
    options.dwLongReplyLimitMs = longReplySeconds * 1000;
    const QString kind = parser.isSet(transport)  ? parser.value(transport)
                         : options.nSimulated > 0 ? QStringLiteral("sim")
                                                  : QStringLiteral("libusb");
    const auto named = std::find_if(
        std::begin(kTransportNames), std::end(kTransportNames),
        [&kind](const TransportName& entry) { return kind == QLatin1String(entry.name); });
    if (named == std::end(kTransportNames)) {
        result.strError = "unknown transport '" + ToStdString(kind) + "'";
        return result;
    }
    options.transport = named->kind;
    if ((options.transport == TransportKind::kSim) != (options.nSimulated > 0)) {
        result.strError = "--simulate N goes with the sim transport, and only with it";
        return result;
    }
    options.bAttachPresent = parser.isSet(attachPresent);
    options.bKeepSyncSoftware = parser.isSet(keepSyncSoftware);
    if ((options.bAttachPresent || options.bKeepSyncSoftware) &&
        options.transport == TransportKind::kSim) {
        result.strError =
            "--attach-present and --keep-sync-software go with the tty and libusb transports";
        return result;
    }
    options.strTtyDirectory = ToStdString(parser.value(ttyDir));
    for (const QString& id : parser.values(usbId)) {
        options.usbIds.push_back(ToStdString(id));
    }
    if (parser.isSet(history) && parser.isSet(noHistory)) {
        result.strError = "--history does not go with --no-history";
        return result;
    }
    if (parser.isSet(history) && !JobHistoryBuilt()) {
        OpenJobHistory({}, {}, result.strError);
        result.strError = "--history: " + result.strError;
        return result;
    }
    options.bHistory = !parser.isSet(noHistory) && JobHistoryBuilt();
    options.strHistoryFile =
        parser.isSet(history) ? ToStdString(parser.value(history)) : DefaultHistoryPath();
    if (parser.isSet(bench)) {
        options.strBenchName = ToStdString(parser.value(bench));
    }
    if (!ChoicesOfCommandLine(parser, options.choices, result.strError)) {
        return result;
    }
    result.options = options;
    return result;
}

void SimulatedHandsets::PlugAfterDetect() {
    for (const std::string& path : m_paths) {
        m_bus.Unplug(path);
    }
    m_paths.clear();
    for (int index = 0; index < m_nCount; ++index) {
        QTimer::singleShot((index + 1) * kArrivalGapMs, &m_arrivals, [this, index] {
            const std::string path =
                m_bus.Plug(std::make_shared<VirtualHandset>(DemoHandsetConfig(index)));
            if (!path.empty()) {
                m_paths.push_back(path);
            }
        });
    }
}

DesktopBench::DesktopBench(const DesktopOptions& options, WindowThread& windowThread,
                           QtMainWindow& window)
    : m_options(options),
      m_window(window),
      m_clock(options.transport == TransportKind::kSim ? options.dwTimeScale : 1),
      m_bus(m_clock),
      m_handsets(m_bus, options.nSimulated),
      m_pDevices(MakeDevices(options, window.View(), windowThread)),
      m_pApplication(std::make_unique<BenchApplication>(window.View(), windowThread, Setup())),
      m_recorder(*m_pApplication, window.View(), [&window](int port) {
          const auto* bar =
              qobject_cast<const CTextProgressCtrl*>(window.View().Control(ProgressId(port)));
          return bar != nullptr ? bar->GetPos() : 0;
      }) {
    ProtocolTimeouts timeouts = GetProtocolTimeouts();
    timeouts.longOperationMs = options.dwLongReplyLimitMs;
    SetProtocolTimeouts(timeouts);
    m_window.Attach(m_pApplication->Dialog());
    m_window.SetResourceStrings([this](uint32_t id) { return m_strings.Load(id); });
    // After the window's own Detect handler: detection is on when these run.
    auto* detect = qobject_cast<QPushButton*>(m_window.View().Control(IDC_DETECT));
    if (m_options.transport == TransportKind::kSim) {
        m_detectConnection = QObject::connect(detect, &QPushButton::clicked, &m_window,
                                              [this] { m_handsets.PlugAfterDetect(); });
    } else if (m_options.bAttachPresent) {
        m_detectConnection = QObject::connect(detect, &QPushButton::clicked, &m_window,
                                              [this] { m_pDevices->AnnouncePresent(); });
    }
}

DesktopBench::~DesktopBench() {
    QObject::disconnect(m_detectConnection);
    QObject::disconnect(m_jobConnection);
    m_window.SetJobEndHandler(nullptr);
    m_pApplication->Dialog().Shutdown();
    EndJob();
    StopDeviceEvents();
    m_window.Detach();
}

BenchSetup DesktopBench::Setup() {
    return m_pDevices ? DeviceBenchSetup(*m_pDevices, m_options.bKeepSyncSoftware)
                      : SimulatedBenchSetup(m_bus, m_clock);
}

bool DesktopBench::Start(std::string& error, QSettings* settings) {
    if (m_pDevices && !m_pDevices->Prepare(error)) {
        return false;
    }
    if (!m_pApplication->Start()) {
        return false;
    }
    m_window.SetWindowTitle(m_pApplication->Title());
    if (const std::string about = m_strings.Load(kStringAboutBox); !about.empty()) {
        m_window.AppendAboutMenuItem(about);
    }
    if (m_options.bHistory) {
        OpenHistory();
        // Beside the about-box item, before it.
        QMenu* menu = m_window.SystemMenu();
        QAction* history = new QAction(QStringLiteral("History"), menu);
        history->setObjectName(QStringLiteral("history_view"));
        QObject::connect(history, &QAction::triggered, menu, [this] { ShowHistory(); });
        menu->insertAction(menu->actions().isEmpty() ? nullptr : menu->actions().back(), history);
    }
    if (m_pDevices) {
        QAction* devices =
            m_window.SystemMenu()->addAction(QStringLiteral("Devices"), [this] { ShowDevices(); });
        devices->setObjectName(QStringLiteral("devices_view"));
    }
    m_window.SetTrafficSource([this](int port) { return m_pApplication->BytesSent(port); });
    WindowChoices choices = settings != nullptr ? ReadWindowChoices(*settings) : WindowChoices{};
    choices.Overlay(m_options.choices);
    m_slotMap = choices.slotMap;
    ApplyChoices(choices, m_pApplication->Dialog(), m_window);
    // A wrong slot map is ignored whole, never half applied.
    if (std::string slotError;
        m_slotMap && !SetSlotMap(m_slotMap->join(QLatin1Char('\n')).toStdString(), slotError)) {
        std::fprintf(stderr, "varnel-downloader: slots/map setting ignored: %s\n",
                     slotError.c_str());
    }
    return true;
}

std::vector<ListedDevice> DesktopBench::ListDevices() {
    return m_pDevices->ListPresent(
        [this](const std::string& path) { return m_pApplication->Dialog().PortHolding(path); });
}

void DesktopBench::ShowDevices() {
    CDevicesDlg devices([this] { return ListDevices(); }, &m_window);
    devices.exec();
}

bool DesktopBench::SetSlotMap(const std::string& text, std::string& error) {
    DeviceChoice choice;
    if (!choice.AddSlotLines(text, kPortCount, error)) {
        return false;
    }
    m_pApplication->Dialog().m_DeviceChoice = std::move(choice);
    return true;
}

void DesktopBench::SaveChoices(QSettings& settings) {
    WindowChoices choices = CurrentChoices(m_window);
    choices.slotMap = m_slotMap;
    WriteWindowChoices(settings, choices);
}

void DesktopBench::ShowHistory() {
    CHistoryDlg history(m_options.strHistoryFile, &m_window);
    history.exec();
}

void DesktopBench::OpenHistory() {
    std::string error;
    m_pHistory = OpenJobHistory(m_options.strHistoryFile, m_options.strBenchName, error);
    if (!m_pHistory) {
        m_pApplication->Dialog().AppendMainLogText("[History] jobs are not recorded: " + error +
                                                   "\r\n");
        m_bHistoryFailureShown = true;
        return;
    }
    m_recorder.AddObserver(*m_pHistory);
    JobReport& report = m_recorder.Report();
    report.strTitle = m_pApplication->Title();
    report.strVersion = kProjectVersion;
    report.strCommit = kGitCommit;
    // After the window's own Detect handler: the images and options are the job's then.
    auto* detect = qobject_cast<QPushButton*>(m_window.View().Control(IDC_DETECT));
    m_jobConnection =
        QObject::connect(detect, &QPushButton::clicked, &m_window, [this] { StartJob(); });
    m_window.SetJobEndHandler([this] { EndJob(); });
    QObject::connect(&m_recordTimer, &QTimer::timeout, &m_recordTimer, [this] { RecordPorts(); });
}

void DesktopBench::StartJob() {
    EndJob();
    const BenchDialog& dlg = m_pApplication->Dialog();
    m_recorder.NextJob(++m_nJob);
    JobReport& report = m_recorder.Report();
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        if (dlg.IsSelected(kind)) {
            report.images.push_back(
                DescribeImage(ReportImageKind(kind), dlg.Path(kind), dlg.Span(kind), true));
        }
    }
    m_recorder.Started(OptionsJson());
    m_bJobOpen = true;
    m_recordTimer.start(kRecordTickMs);
    NoteHistoryFailure();
}

void DesktopBench::RecordPorts() {
    if (!m_bJobOpen) {
        return;
    }
    m_pApplication->Dialog().CollectPortLogs();
    m_recorder.NoteDownloadStart();
    m_recorder.NotePortEnds();
    m_recorder.ObservePorts();
}

void DesktopBench::EndJob() {
    if (!m_bJobOpen) {
        return;
    }
    RecordPorts();
    m_bJobOpen = false;
    m_recordTimer.stop();
    const BenchDialog& dlg = m_pApplication->Dialog();
    JobReport& report = m_recorder.Report();
    report.ended = std::chrono::system_clock::now();
    report.nPortsAttached = dlg.m_nDetected;
    const bool allEnded = m_recorder.DownloadStart() && dlg.m_nDetected > 0 &&
                          dlg.m_nFinished + dlg.m_nFailed == dlg.m_nDetected;
    report.strResult = dlg.m_nDetected == 0 ? "no handset"
                       : !allEnded          ? "interrupted"
                       : dlg.m_nFailed > 0  ? "failed"
                                            : "finished";
    report.nExitStatus = report.strResult == "finished" ? 0 : 1;
    m_recorder.CollectPorts(OptionsJson());
    m_recorder.Ended();
    NoteHistoryFailure();
}

nlohmann::json DesktopBench::OptionsJson() {
    QtDialogView& view = m_window.View();
    nlohmann::json options = nlohmann::json::object();
    for (const OptionChoice& box : kOptionChoiceKeys) {
        options[ReportKey(box.name)] = view.GetCheck(box.id);
    }
    const int mode = view.GetComboSelection(IDC_MODE_SELECT);
    options["mode"] = mode >= 0 && mode < static_cast<int>(kModeChoiceNames.size())
                          ? nlohmann::json(kModeChoiceNames[static_cast<size_t>(mode)])
                          : nlohmann::json(nullptr);
    for (const auto& [key, comboId] :
         {std::pair{"language", IDC_LANGUAGE_SELECT}, std::pair{"csc_file", IDC_CSC_FILE_SELECT}}) {
        std::vector<std::string> entries;
        if (const auto* combo = qobject_cast<const QComboBox*>(view.Control(comboId))) {
            for (int index = 0; index < combo->count(); ++index) {
                entries.push_back(ToStdString(combo->itemText(index)));
            }
        }
        options[key] = ReportListEntry(entries, view.GetComboSelection(comboId));
    }
    options["transport"] = NameOf(m_options.transport);
    options["simulate"] = m_options.nSimulated;
    return options;
}

void DesktopBench::NoteHistoryFailure() {
    if (m_bHistoryFailureShown || !m_pHistory) {
        return;
    }
    if (const std::string failure = m_pHistory->Failure(); !failure.empty()) {
        m_pApplication->Dialog().AppendMainLogText("[History] jobs are not recorded: " + failure +
                                                   "\r\n");
        m_bHistoryFailureShown = true;
    }
}

void DesktopBench::StopDeviceEvents() {
    if (m_pDevices) {
        m_pDevices->Stop();
    }
    m_bus.RemoveListener(&m_pApplication->DeviceEvents());
}

}  // namespace varnel
