#include "app/linux_devices.h"

#include <cerrno>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "app/modem_manager_rules.h"
#include "transport/linux/usb_context.h"
#include "transport/linux/usb_monitor.h"
#include "transport/linux/usb_topology.h"
#include "transport/linux/winusb_interface.h"

namespace varnel {

LinuxDevices::LinuxDevices(LinuxDeviceOptions options, MessageCallback showMessage)
    : m_options(std::move(options)),
      m_showMessage(std::move(showMessage)),
      m_ttyMonitor(m_options.strTtyDirectory) {}

LinuxDevices::~LinuxDevices() {
    Stop();
}

bool LinuxDevices::Prepare(std::string& error) {
    if (m_options.transport == LinuxTransport::kTty && !UdevTtys()) {
        return true;
    }
    if (!BuildUsbMatchList(m_options.usbIds, m_usbIds, error)) {
        return false;
    }
    if (UdevTtys()) {
        m_pUdevMonitor = std::make_unique<UdevTtyMonitor>(m_usbIds);
        return true;
    }
    m_pUsb = UsbContext::Create(error);
    if (!m_pUsb) {
        return false;
    }
    m_pUsbMonitor = std::make_unique<UsbDeviceMonitor>(m_pUsb, m_usbIds);
    return true;
}

std::unique_ptr<CUsbInterface> LinuxDevices::MakeTransport() {
    if (UdevTtys()) {
        return std::make_unique<CTtyInterface>(m_usbIds);
    }
    if (m_options.transport == LinuxTransport::kTty) {
        return std::make_unique<CTtyInterface>(m_options.strTtyDirectory);
    }
    return std::make_unique<CWinUsbInterface>(m_pUsb, m_usbIds, m_showMessage);
}

bool LinuxDevices::Register(DeviceEventListener& events, uint32_t& errorCode) {
    m_pEvents = &events;
    if (m_pUdevMonitor) {
        m_pUdevMonitor->AddListener(&events);
        if (!m_pUdevMonitor->Start()) {
            errorCode = static_cast<uint32_t>(ENOTSUP);
            return false;
        }
        return true;
    }
    if (m_options.transport == LinuxTransport::kTty) {
        m_ttyMonitor.AddListener(&events);
        if (!m_ttyMonitor.Start()) {
            errorCode = static_cast<uint32_t>(errno);
            return false;
        }
        return true;
    }
    m_pUsbMonitor->AddListener(&events);
    std::string error;
    if (!m_pUsbMonitor->Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        errorCode = static_cast<uint32_t>(ENOTSUP);
        return false;
    }
    return true;
}

void LinuxDevices::AnnouncePresent() {
    if (m_pUdevMonitor) {
        m_pUdevMonitor->AnnouncePresent();
    } else if (m_options.transport == LinuxTransport::kTty) {
        m_ttyMonitor.AnnouncePresent();
    } else if (m_pUsbMonitor) {
        m_pUsbMonitor->AnnouncePresent();
    }
}

void LinuxDevices::Stop() {
    m_ttyMonitor.Stop();
    if (m_pUdevMonitor) {
        m_pUdevMonitor->Stop();
    }
    if (m_pUsbMonitor) {
        m_pUsbMonitor->Stop();
    }
    if (m_pEvents == nullptr) {
        return;
    }
    m_ttyMonitor.RemoveListener(m_pEvents);
    if (m_pUdevMonitor) {
        m_pUdevMonitor->RemoveListener(m_pEvents);
    }
    if (m_pUsbMonitor) {
        m_pUsbMonitor->RemoveListener(m_pEvents);
    }
    m_pEvents = nullptr;
}

std::optional<std::string> LinuxDevices::ModemManagerLeftRunning() const {
    SystemUdevMarks udev;
    return ModemManagerLeftRunningReason(udev, m_usbIds);
}

std::vector<ListedDevice> LinuxDevices::ListPresent(
    const std::function<int(const std::string&)>& portHolding) {
    std::vector<ListedDevice> devices;
    if (UdevTtys()) {
        devices = ListUdevTtys(m_usbIds);
    } else if (m_options.transport == LinuxTransport::kTty) {
        devices = ListTtyFolder(m_options.strTtyDirectory);
    } else if (m_pUsb) {
        devices = ListUsbDevices(m_pUsb->Get(), m_usbIds);
    }
    for (ListedDevice& device : devices) {
        device.nAttachedPort = portHolding ? portHolding(device.strDevicePath) : -1;
        if (device.nAttachedPort >= 0) {
            // Its own port holds it: openable as far as this program is concerned.
            device.bOpenable = true;
            device.strWhyNot.clear();
        }
    }
    return devices;
}

std::string DeviceListText(const std::vector<ListedDevice>& devices) {
    const auto known = [](const std::string& text) { return text.empty() ? "-" : text; };
    std::string text;
    for (const ListedDevice& device : devices) {
        text += device.strDevicePath + "\n  serial " + known(device.identity.strSerial) +
                ", port path " + known(device.identity.strPortPath) + ", id " +
                known(device.strUsbId) + ", " + device.strTransport;
        if (!device.strSpeed.empty()) {
            text += ", " + device.strSpeed + " speed";
        }
        text += device.bOpenable ? ", can be opened" : ", cannot be opened: " + device.strWhyNot;
        text += device.nAttachedPort >= 0
                    ? ", attached to port " + std::to_string(device.nAttachedPort) + "\n"
                    : ", not attached\n";
    }
    if (devices.empty()) {
        text = "No matching device present.\n";
    }
    return text;
}

std::string DeviceListJson(const std::vector<ListedDevice>& devices) {
    nlohmann::json list = nlohmann::json::array();
    const auto textOrNull = [](const std::string& text) {
        return text.empty() ? nlohmann::json() : nlohmann::json(text);
    };
    for (const ListedDevice& device : devices) {
        list.push_back(
            {{"device", device.strDevicePath},
             {"serial", textOrNull(device.identity.strSerial)},
             {"port_path", textOrNull(device.identity.strPortPath)},
             {"usb_id", textOrNull(device.strUsbId)},
             {"transport", device.strTransport},
             {"speed", textOrNull(device.strSpeed)},
             {"openable", device.bOpenable},
             {"why_not", textOrNull(device.strWhyNot)},
             {"attached_port", device.nAttachedPort >= 0 ? nlohmann::json(device.nAttachedPort)
                                                         : nlohmann::json()}});
    }
    return nlohmann::json({{"devices", list}}).dump(2) + "\n";
}

BenchSetup DeviceBenchSetup(LinuxDevices& devices, bool keepSyncSoftware) {
    BenchSetup setup;
    setup.osPath = devices.Transport();
    setup.bControlSyncSoftware = !keepSyncSoftware;
    setup.syncSoftwareLeftRunning = [&devices] { return devices.ModemManagerLeftRunning(); };
    setup.makeTransport = [&devices] { return devices.MakeTransport(); };
    setup.registerDevices = [&devices](DeviceEventListener& events, uint32_t& errorCode) {
        return devices.Register(events, errorCode);
    };
    setup.topologyWarnings = [](const std::string& portPath,
                                const std::vector<std::string>& attachedPortPaths) {
        std::vector<std::pair<std::string, std::string>> warnings;
        for (TopologyWarning& warning :
             TopologyWarnings(portPath, UsbSpeedMbps(portPath), attachedPortPaths)) {
            warnings.emplace_back(std::move(warning.strKey), std::move(warning.strText));
        }
        return warnings;
    };
    return setup;
}

LinuxDevices::MessageCallback WindowMessageBox(DialogView& view, WindowThread& window,
                                               std::string caption) {
    return [&view, &window, caption = std::move(caption)](const std::string& text) {
        const auto show = [&view, caption, text] {
            view.MessageBox(text, caption, MessageIcon::kExclamation, MessageButtons::kOk);
        };
        if (window.IsWindowThread()) {
            show();
        } else {
            window.Post(show);
        }
    };
}

}  // namespace varnel
