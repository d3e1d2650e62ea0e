#include "ui/qt/desktop_bench.h"

#include <QCommandLineParser>
#include <QPushButton>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#include "sim/sim_transport.h"
#include "transport/linux/usb_context.h"
#include "transport/linux/usb_monitor.h"
#include "transport/linux/winusb_interface.h"
#include "ui/control_ids.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

constexpr char kProgram[] = "varnel-downloader";
// Simulated handsets: the gap between two arrivals, and their pace (varnel-cli's defaults).
constexpr int kArrivalGapMs = 100;
constexpr uint32_t kSimRoundTripMicros = 250;
constexpr uint64_t kSimFlashBytesPerSecond = 16ull << 20;
constexpr uint32_t kMaxTimeScale = 1000;

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
    const QCommandLineOption usbId(QStringLiteral("usb-id"),
                                   QStringLiteral("Boot-loader USB id (libusb transport)."),
                                   QStringLiteral("VID:PID"));
    parser.addOptions({simulate, timeScale, transport, ttyDir, usbId});

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
    options.strTtyDirectory = ToStdString(parser.value(ttyDir));
    for (const QString& id : parser.values(usbId)) {
        options.usbIds.push_back(ToStdString(id));
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
            HandsetConfig config;
            config.instance = "SIM" + std::to_string(index);
            config.recordMode = RecordMode::kDigest;
            config.timing.roundTripMicros = kSimRoundTripMicros;
            config.timing.flashBytesPerSecond = kSimFlashBytesPerSecond;
            const std::string path = m_bus.Plug(std::make_shared<VirtualHandset>(config));
            if (!path.empty()) {
                m_paths.push_back(path);
            }
        });
    }
}

DesktopBench::DesktopBench(const DesktopOptions& options, WindowThread& windowThread,
                           QtMainWindow& window)
    : m_options(options),
      m_windowThread(windowThread),
      m_window(window),
      m_clock(options.transport == TransportKind::kSim ? options.dwTimeScale : 1),
      m_bus(m_clock),
      m_handsets(m_bus, options.nSimulated),
      m_ttyMonitor(options.strTtyDirectory),
      m_pApplication(std::make_unique<BenchApplication>(window.View(), windowThread, Setup())) {
    m_window.Attach(m_pApplication->Dialog());
    m_window.SetResourceStrings([this](uint32_t id) { return m_strings.Load(id); });
    if (m_options.transport == TransportKind::kSim) {
        auto* detect = qobject_cast<QPushButton*>(m_window.View().Control(IDC_DETECT));
        m_detectConnection = QObject::connect(detect, &QPushButton::clicked, &m_window,
                                              [this] { m_handsets.PlugAfterDetect(); });
    }
}

DesktopBench::~DesktopBench() {
    QObject::disconnect(m_detectConnection);
    m_pApplication->Dialog().Shutdown();
    StopDeviceEvents();
    m_window.Detach();
}

BenchSetup DesktopBench::Setup() {
    BenchSetup setup;
    const bool simulated = m_options.transport == TransportKind::kSim;
    setup.osPath = m_options.transport == TransportKind::kLibusb ? LinuxTransport::kLibusb
                                                                 : LinuxTransport::kTty;
    // No real handset is there for the host's sync software to claim.
    setup.bControlSyncSoftware = !simulated;
    setup.clock = simulated ? &m_clock : nullptr;
    setup.makeTransport = [this] { return MakeTransport(); };
    setup.registerDevices = [this](DeviceEventListener& events, uint32_t& errorCode) {
        return RegisterDevices(events, errorCode);
    };
    return setup;
}

bool DesktopBench::Start(std::string& error) {
    if (m_options.transport == TransportKind::kLibusb) {
        if (!BuildUsbMatchList(m_options.usbIds, m_usbIds, error)) {
            return false;
        }
        m_pUsb = UsbContext::Create(error);
        if (!m_pUsb) {
            return false;
        }
        m_pUsbMonitor = std::make_unique<UsbDeviceMonitor>(m_pUsb, m_usbIds);
    }
    if (!m_pApplication->Start()) {
        return false;
    }
    m_window.SetWindowTitle(m_pApplication->Title());
    if (const std::string about = m_strings.Load(kStringAboutBox); !about.empty()) {
        m_window.AppendAboutMenuItem(about);
    }
    return true;
}

std::unique_ptr<CUsbInterface> DesktopBench::MakeTransport() {
    switch (m_options.transport) {
        case TransportKind::kSim:
            return std::make_unique<SimTransport>(m_bus);
        case TransportKind::kTty:
            return std::make_unique<CTtyInterface>(m_options.strTtyDirectory);
        case TransportKind::kLibusb:
            break;
    }
    return std::make_unique<CWinUsbInterface>(
        m_pUsb, m_usbIds, [this](const std::string& text) { ShowMessage(text); });
}

bool DesktopBench::RegisterDevices(DeviceEventListener& events, uint32_t& errorCode) {
    m_pEvents = &events;
    switch (m_options.transport) {
        case TransportKind::kSim:
            m_bus.AddListener(&events);
            return true;
        case TransportKind::kTty:
            m_ttyMonitor.AddListener(&events);
            if (!m_ttyMonitor.Start()) {
                errorCode = static_cast<uint32_t>(errno);
                return false;
            }
            return true;
        case TransportKind::kLibusb:
            break;
    }
    m_pUsbMonitor->AddListener(&events);
    std::string error;
    if (!m_pUsbMonitor->Start(error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        errorCode = static_cast<uint32_t>(ENOTSUP);
        return false;
    }
    return true;
}

void DesktopBench::ShowMessage(const std::string& text) {
    const auto show = [this, text] {
        m_window.View().MessageBox(text, kProgram, MessageIcon::kExclamation, MessageButtons::kOk);
    };
    if (m_windowThread.IsWindowThread()) {
        show();
    } else {
        m_windowThread.Post(show);
    }
}

void DesktopBench::StopDeviceEvents() {
    m_ttyMonitor.Stop();
    if (m_pUsbMonitor) {
        m_pUsbMonitor->Stop();
    }
    if (m_pEvents == nullptr) {
        return;
    }
    m_bus.RemoveListener(m_pEvents);
    m_ttyMonitor.RemoveListener(m_pEvents);
    if (m_pUsbMonitor) {
        m_pUsbMonitor->RemoveListener(m_pEvents);
    }
}

}  // namespace varnel
