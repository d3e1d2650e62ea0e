// The one place that picks this system's platform: the device source of a bench on real
// handsets, the host behind the start-up decisions and the sync-software control, and the
// publisher to the line's broker.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/line_publisher.h"
#include "app/telemetry_outbox.h"
#include "engine/download_job.h"
#include "engine/host_startup.h"
#include "engine/os_version.h"
#include "engine/sync_software_host.h"
#include "transport/device_path.h"
#include "transport/device_source.h"

namespace varnel {

struct DeviceOptions {
    // Tty nodes or COM ports (the file-handle transport); else USB (libusb, WinUSB).
    bool bFileHandle = false;
    // Linux: the folder of the tty nodes; kDefaultTtyDirectory stands for the system's ttys.
    std::string strTtyDirectory = kDefaultTtyDirectory;
    // Windows: "COM5" and the like, tried after the boot loader's device interfaces.
    std::vector<std::string> comPorts;
    std::vector<std::string> usbIds;  // "VID:PID", besides the simulator's and VARNEL_USB_IDS
};

// The programs' names of this system's two transports: "tty" and "libusb" on Linux, "file" and
// "winusb" on Windows.
extern const char kFileHandleTransportName[];
extern const char kUsbTransportName[];

std::unique_ptr<DeviceSource> MakeDeviceSource(DeviceOptions options,
                                               DeviceSource::MessageCallback showMessage);

struct PlatformHost {
    std::unique_ptr<OsVersionProvider> versions;
    std::unique_ptr<SyncSoftwareHost> syncHost;
    std::unique_ptr<DebugOutput> debug;
    SyncSoftwareNames syncNames;
    // The sync software is stopped and started through the service manager; else found in the
    // process table.
    bool bServiceManager = false;
    // Whether this system's sync software can be controlled at all.
    bool bSyncControl = false;
};

// Where what was stopped is recorded until it is started again; empty for no record. A file on
// Linux; on Windows a volatile key under HKEY_CURRENT_USER.
std::string DefaultStopRecordPath();

// `transportClass` stands for the OS version where the platform derives it from the transport
// (Linux); Windows reads its real version;
// `stopRecordPath` is where what was stopped is recorded (empty: no record).
PlatformHost MakePlatformHost(TransportClass transportClass, const std::string& stopRecordPath);

// A port worker that runs `body` at this system's worker priority: above normal on Windows, as
// the download threads there always ran; unchanged on Linux.
std::function<void(PortThreadParam&)> PlatformPortWorker(
    std::function<void(PortThreadParam&)> body);

// A publisher that drains `outbox` to the line's broker from now on (MQTT on Linux); null with
// a reason for a broker that cannot be used, or on a system without an MQTT client (Windows).
std::unique_ptr<LinePublisher> MakeLinePublisher(const LineBroker& broker, TelemetryOutbox& outbox,
                                                 std::string& error);

}  // namespace varnel
