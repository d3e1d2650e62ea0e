#include "app/platform_wiring.h"

#include "app/startup_decisions.h"

#ifdef _WIN32
#include <windows.h>
// The debugger output interface has a method of this name.
#undef OutputDebugString

#include "platform/windows/win_host.h"
#include "platform/windows/windows_devices.h"
#else
#include "app/line_telemetry.h"
#include "line/mqtt_publisher.h"
#include "platform/linux/linux_devices.h"
#include "platform/linux/linux_host.h"
#endif

namespace varnel {

#ifdef _WIN32

const char kFileHandleTransportName[] = "file";
const char kUsbTransportName[] = "winusb";

std::unique_ptr<DeviceSource> MakeDeviceSource(DeviceOptions options,
                                               DeviceSource::MessageCallback showMessage) {
    return std::make_unique<WindowsDevices>(options.bFileHandle, std::move(options.comPorts),
                                            std::move(showMessage));
}

std::string DefaultStopRecordPath() {
    return kStopRecordKey.strKey;
}

std::function<void(PortThreadParam&)> PlatformPortWorker(
    std::function<void(PortThreadParam&)> body) {
    return [body = std::move(body)](PortThreadParam& param) {
        // The worker's own thread, raised before its first byte moves; the start gate has
        // released every port together.
        ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
        body(param);
    };
}

PlatformHost MakePlatformHost(TransportClass, const std::string& stopRecordPath) {
    PlatformHost host;
    // The version the kernel reports decides, not the ports' transport.
    host.versions = std::make_unique<WinOsVersionProvider>();
    host.syncHost = std::make_unique<WinSyncSoftwareHost>(
        kSyncInstallKey, RegistryPlace{RegistryPlace::kCurrentUser, stopRecordPath});
    host.debug = std::make_unique<WinDebugOutput>();
    // Vista and later stop and start the sync software's services; XP ends its processes.
    OsVersionInfo version;
    host.bServiceManager =
        host.versions->GetVersion(version) && DecideOsFromVersion(&version).bVistaOrLater == 1;
    host.bSyncControl = true;
    return host;
}

std::unique_ptr<LinePublisher> MakeLinePublisher(const LineBroker&, TelemetryOutbox&,
                                                 std::string& error) {
    error = "this build has no MQTT client: the line's broker is reached from Linux benches";
    return nullptr;
}

#else

const char kFileHandleTransportName[] = "tty";
const char kUsbTransportName[] = "libusb";

std::unique_ptr<DeviceSource> MakeDeviceSource(DeviceOptions options,
                                               DeviceSource::MessageCallback showMessage) {
    LinuxDeviceOptions devices;
    devices.transport = options.bFileHandle ? LinuxTransport::kTty : LinuxTransport::kLibusb;
    devices.strTtyDirectory = std::move(options.strTtyDirectory);
    devices.usbIds = std::move(options.usbIds);
    return std::make_unique<LinuxDevices>(std::move(devices), std::move(showMessage));
}

std::string DefaultStopRecordPath() {
    return kDefaultStopRecordPath;
}

std::function<void(PortThreadParam&)> PlatformPortWorker(
    std::function<void(PortThreadParam&)> body) {
    return body;
}

PlatformHost MakePlatformHost(TransportClass transportClass, const std::string& stopRecordPath) {
    PlatformHost host;
    host.versions = std::make_unique<LinuxOsVersionProvider>(
        transportClass == TransportClass::kUsbInterface ? LinuxTransport::kTty
                                                        : LinuxTransport::kLibusb);
    host.syncHost = std::make_unique<LinuxSyncSoftwareHost>(
        kDefaultSyncInstallDir, kDefaultPendingWaitHintMs, stopRecordPath);
    host.debug = std::make_unique<StderrDebugOutput>();
    host.syncNames = LinuxSyncSoftwareNames();
    // systemd, where it runs, is asked to stop and start units; the process walk is for hosts
    // without it, whichever transport stands for the OS version.
    host.bServiceManager = SystemdRunning();
    host.bSyncControl = true;
    return host;
}

std::unique_ptr<LinePublisher> MakeLinePublisher(const LineBroker& broker, TelemetryOutbox& outbox,
                                                 std::string& error) {
    MqttEndpoint endpoint;
    if (!ParseMqttUrl(broker.strUrl, endpoint, error)) {
        return nullptr;
    }
    endpoint.strCaFile = broker.strCaFile;
    endpoint.strCertFile = broker.strCertFile;
    endpoint.strKeyFile = broker.strKeyFile;
    // The TLS files are read now, so that a wrong one stops the job before it starts.
    if (!MakeMosquittoClient(endpoint, nullptr, error)) {
        return nullptr;
    }
    Presence presence{BenchTopic(broker.strLine, broker.strBench) + "/presence",
                      [line = broker.strLine, bench = broker.strBench](bool online) {
                          return PresencePayload(line, bench, online);
                      }};
    return std::make_unique<MqttPublisher>(std::move(endpoint), outbox, std::move(presence));
}

#endif

}  // namespace varnel
