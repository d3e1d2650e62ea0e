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

void CMorvaneDlg::OnDeviceChange(DeviceChange change, const std::string& interfaceName) {
    if (change == DeviceChange::kArrival && m_nDetected < kPortCount && m_nIdlePorts > 0) {
        if (!m_bWaitingForDevice) {
            return;
        }
        AppendMainLog("OnDeviceChange %s\r\n", interfaceName.c_str());
        AttachDevice();
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

void CMorvaneDlg::AttachDevice() {
    DialogAttachWindow window(*this);
    varnel::AttachDevice(*this, window, WindowClock());
}

Clock& CMorvaneDlg::WindowClock() {
    static SystemClock systemClock;
    return m_hooks.clock != nullptr ? *m_hooks.clock : systemClock;
}

}  // namespace varnel
