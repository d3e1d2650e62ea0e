#include "app/qt/desktop_bench.h"

#include <cstdio>

#include <QCommandLineParser>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include "ui/control_ids.h"
#include "ui/qt/devices_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

constexpr char kProgram[] = "varnel-downloader";
// Simulated handsets: the gap between two arrivals.
constexpr int kArrivalGapMs = 100;
constexpr uint32_t kMaxTimeScale = 1000;

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
    parser.addOptions({simulate, timeScale, transport, ttyDir, usbId, attachPresent,
                       keepSyncSoftware, longReplyLimit});
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
    if (kind == QStringLiteral("sim")) {
        options.transport = TransportKind::kSim;
    } else if (kind == QStringLiteral("tty")) {
        options.transport = TransportKind::kTty;
    } else if (kind != QStringLiteral("libusb")) {
        result.strError = "unknown transport '" + ToStdString(kind) + "'";
        return result;
    }
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
      m_pApplication(std::make_unique<BenchApplication>(window.View(), windowThread, Setup())) {
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
    m_pApplication->Dialog().Shutdown();
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

void DesktopBench::StopDeviceEvents() {
    if (m_pDevices) {
        m_pDevices->Stop();
    }
    m_bus.RemoveListener(&m_pApplication->DeviceEvents());
}

}  // namespace varnel
