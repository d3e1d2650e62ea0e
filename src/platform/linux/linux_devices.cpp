#include "platform/linux/linux_devices.h"

#include <cerrno>
#include <cstdio>

#include "platform/linux/device_list.h"
#include "platform/linux/modem_manager_rules.h"
#include "platform/linux/usb_context.h"
#include "platform/linux/usb_match_list.h"
#include "platform/linux/usb_monitor.h"
#include "platform/linux/usb_topology.h"
#include "platform/linux/winusb_interface.h"

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

std::optional<std::string> LinuxDevices::SyncSoftwareLeftRunning() const {
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
    MarkAttached(devices, portHolding);
    return devices;
}

DeviceSource::TopologyWarningList LinuxDevices::TopologyWarnings(
    const std::string& portPath, const std::vector<std::string>& attachedPortPaths) const {
    TopologyWarningList warnings;
    for (TopologyWarning& warning :
         varnel::TopologyWarnings(portPath, UsbSpeedMbps(portPath), attachedPortPaths)) {
        warnings.emplace_back(std::move(warning.strKey), std::move(warning.strText));
    }
    return warnings;
}

}  // namespace varnel
