// Device arrival and removal, and the attach that binds an arriving device to a port.
#include "engine/attach.h"
#include "transport/device_path.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"

namespace varnel {

namespace {

// The window as the attach changes it.
class DialogAttachWindow final : public AttachWindow {
  public:
    explicit DialogAttachWindow(CMorvaneDlg& dlg) : m_dlg(dlg) {}

    MainLogSink& MainLog() override { return m_dlg; }
    void AppendPortLogText(int port, std::string_view entry) override {
        m_dlg.AppendPortLog(port, "%.*s", static_cast<int>(entry.size()), entry.data());
    }
    void ShowPortAttached(int port) override {
        m_dlg.View().SetBkColor(kPortCaptionIds[port], kColorAttached);
        m_dlg.View().SetText(ProgressId(port), "Ready to download...");
    }
    void PostStartDownloading() override { m_dlg.PostStartDownloading(); }
    void EnableStartDownloading() override {
        m_dlg.View().EnableControl(IDC_START_DOWNLOADING, true);
    }
    void ShowPortIdentity(int port, const DeviceIdentity& identity) override {
        m_dlg.View().SetToolTip(kPortCaptionIds[port], IdentityText(identity));
    }

  private:
    CMorvaneDlg& m_dlg;
};

}  // namespace

std::function<void(PortThreadParam&)> DownloadWorkerHook(const WorkerServices& tuning) {
    return [tuning](PortThreadParam& param) {
        auto& dlg = static_cast<CMorvaneDlg&>(*param.pDlg);
        WorkerServices services = tuning;
        services.window = &dlg;
        services.log = &dlg;
        services.stopRequested = &dlg.StopRequested();
        DownloadWorker(&param, services);
    };
}

void WindowDeviceEvents::OnDeviceArrival(const std::string& path) {
    CMorvaneDlg& dlg = m_dlg;
    dlg.Window().Post([&dlg, path] { dlg.OnDeviceChange(DeviceChange::kArrival, path); });
}

void WindowDeviceEvents::OnDeviceRemoval(const std::string& path) {
    CMorvaneDlg& dlg = m_dlg;
    dlg.Window().Post([&dlg, path] { dlg.OnDeviceChange(DeviceChange::kRemoval, path); });
}

void WindowDeviceEvents::OnForeignDevice(const std::string& description) {
    CMorvaneDlg& dlg = m_dlg;
    dlg.Window().Post([&dlg, description] { dlg.OnForeignDevice(description); });
}

void CMorvaneDlg::OnForeignDevice(const std::string& description) {
    if (m_bWaitingForDevice) {
        AppendMainLog("[Setup] %s is not in the USB id list: left alone (--usb-id adds it)\r\n",
                      description.c_str());
    }
}

void CMorvaneDlg::OnDeviceChange(DeviceChange change, const std::string& interfaceName) {
    if (m_bAttaching) {
        m_DeferredChanges.emplace_back(change, interfaceName);
        return;
    }
    if (change == DeviceChange::kRemoval) {
        // Plugged in again, it is a new chance.
        m_SetAsideDevices.erase(interfaceName);
    }
    if (change == DeviceChange::kArrival && m_nDetected < kPortCount && m_nIdlePorts > 0) {
        if (!m_bWaitingForDevice || m_SetAsideDevices.count(interfaceName) != 0 ||
            PortHolding(interfaceName) >= 0) {
            return;
        }
        AppendMainLog("OnDeviceChange %s\r\n", interfaceName.c_str());
        AttachDevice(interfaceName);
    } else if (change == DeviceChange::kRemoval) {
        if (!m_bWaitingForDevice) {
            return;
        }
        for (int port = 0; port < kPortCount; ++port) {
            CUsbInterface* transport = m_pTransport[port].get();
            if (transport == nullptr || !transport->IsOpen() ||
                m_PortSlot[port].nState.load() >= kPortDownloading ||
                !EqualIgnoringCase(transport->DevicePath(), interfaceName)) {
                continue;
            }
            if (!m_view.IsControlEnabled(kPortResetIds[port])) {
                OnResetPortButton(port);
            }
            AppendMainLog("[Setup:%d] PDA Device removed.\r\n", port);
            m_PortSlot[port].nKind = kKindDone;
            break;
        }
    }
    ShowDeviceCount();
}

int CMorvaneDlg::PortHolding(const std::string& devicePath) const {
    for (int port = 0; port < kPortCount; ++port) {
        const CUsbInterface* transport = m_pTransport[port].get();
        if (transport != nullptr && transport->IsOpen() && transport->DevicePath() == devicePath) {
            return port;
        }
    }
    return -1;
}

void CMorvaneDlg::AttachDevice(const std::string& devicePath) {
    DialogAttachWindow window(*this);
    m_bAttaching = true;
    const AttachResult result = varnel::AttachDevice(*this, window, WindowClock(), devicePath);
    m_bAttaching = false;
    if (result == AttachResult::kNoAcknowledge || result == AttachResult::kNotChosen) {
        m_SetAsideDevices.insert(devicePath);
    }
    if (result == AttachResult::kAttached) {
        WarnOfTopology(PortHolding(devicePath));
    }
    while (!m_DeferredChanges.empty()) {
        const auto [change, path] = std::move(m_DeferredChanges.front());
        m_DeferredChanges.pop_front();
        OnDeviceChange(change, path);
    }
}

void CMorvaneDlg::WarnOfTopology(int port) {
    if (!m_hooks.topologyWarnings || port < 0) {
        return;
    }
    std::vector<std::string> attached;
    for (int other = 0; other < kPortCount; ++other) {
        const int state = m_PortSlot[other].nState.load();
        if (state == kPortAttached || state == kPortDownloading) {
            attached.push_back(m_DeviceIdentity[other].strPortPath);
        }
    }
    for (const auto& [key, text] :
         m_hooks.topologyWarnings(m_DeviceIdentity[port].strPortPath, attached)) {
        if (m_WarnedTopology.insert(key).second) {
            AppendMainLog("%s", text.c_str());
        }
    }
}

Clock& CMorvaneDlg::WindowClock() {
    static SystemClock systemClock;
    return m_hooks.clock != nullptr ? *m_hooks.clock : systemClock;
}

}  // namespace varnel
