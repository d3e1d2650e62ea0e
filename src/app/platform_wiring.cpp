#include "app/platform_wiring.h"

#ifdef _WIN32
#include <windows.h>
// The debugger output interface has a method of this name.
#undef OutputDebugString

#include "platform/windows/windows_devices.h"
#else
#include "platform/linux/linux_devices.h"
#include "platform/linux/linux_host.h"
#endif

namespace varnel {

#ifdef _WIN32

namespace {

// The ports' transport stands for the version, as on Linux, until the host's own version query
// is wired here: the file-handle path is the one of major version 5.
class TransportOsVersion final : public OsVersionProvider {
  public:
    explicit TransportOsVersion(TransportClass transportClass) : m_class(transportClass) {}
    bool GetVersion(OsVersionInfo& version) override {
        version.family = OsFamily::kWindows;
        const bool fileHandle = m_class == TransportClass::kUsbInterface;
        version.dwMajorVersion = fileHandle ? 5 : 6;
        version.dwMinorVersion = fileHandle ? 1 : 0;
        return true;
    }

  private:
    const TransportClass m_class;
};

// No sync-software control on this system yet: every service and process call fails with
// ERROR_CALL_NOT_IMPLEMENTED, and there is no stop record.
class NoSyncSoftwareHost final : public SyncSoftwareHost {
  public:
    std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error) override {
        error = ERROR_CALL_NOT_IMPLEMENTED;
        return nullptr;
    }
    void RunNetCommand(const std::string&) override {}
    bool SnapshotProcesses(std::vector<ProcessEntry>&) override { return false; }
    bool TerminateProcess(const ProcessEntry&) override { return false; }
    bool StartProgram(const std::string&, const std::vector<std::string>&) override {
        return false;
    }
    InstallDirRead ReadInstalledDir(std::string&) override { return InstallDirRead::kKeyFailed; }
    char PathSeparator() const override { return '\\'; }
    bool ReadStopRecord(std::string&) override { return false; }
    bool WriteStopRecord(const std::string&) override { return false; }
};

class DebuggerOutput final : public DebugOutput {
  public:
    void OutputDebugString(std::string_view line) override {
        OutputDebugStringA(std::string(line).c_str());
    }
};

}  // namespace

const char kFileHandleTransportName[] = "file";
const char kUsbTransportName[] = "winusb";

std::unique_ptr<DeviceSource> MakeDeviceSource(DeviceOptions options,
                                               DeviceSource::MessageCallback) {
    return std::make_unique<WindowsDevices>(options.bFileHandle, std::move(options.comPorts));
}

std::string DefaultStopRecordPath() {
    return {};
}

PlatformHost MakePlatformHost(TransportClass transportClass, const std::string&) {
    PlatformHost host;
    host.versions = std::make_unique<TransportOsVersion>(transportClass);
    host.syncHost = std::make_unique<NoSyncSoftwareHost>();
    host.debug = std::make_unique<DebuggerOutput>();
    return host;
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

#endif

}  // namespace varnel
