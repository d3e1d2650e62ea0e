#include "ui/morvane_dlg.h"

#include <condition_variable>
#include <cstdarg>
#include <utility>

#include "images/csc_image.h"
#include "ui/control_ids.h"
#include "ui/status_display.h"

namespace varnel {
namespace {

struct OptionBinding {
    int id;
    std::atomic<int> DownloadJob::*field;
};
constexpr OptionBinding kOptionBindings[] = {
    {IDC_ERASE_CSC, &DownloadJob::m_bEraseCsc},
    {IDC_KEEP_EBOOT_CFG, &DownloadJob::m_bKeepEbootCfg},
    {IDC_ERASE_NV_PDA, &DownloadJob::m_bEraseNvPda},
    {IDC_SET_PRIORITY_BIT, &DownloadJob::m_bSetPriorityBit},
    {IDC_SKIP_OS_UPDATE, &DownloadJob::m_bSkipOsUpdate},
    {IDC_PRESERVE_CONTENTS, &DownloadJob::m_bPreserveContents},
    {IDC_SKIP_BOOT_WAIT, &DownloadJob::m_bSkipBootWait},
    {IDC_START_IMMEDIATELY, &DownloadJob::m_bStartImmediately},
    {IDC_SMD_CHECK, &DownloadJob::m_bSmdCheck},
    {IDC_ERASE_NV_DATA, &DownloadJob::m_bEraseNvData},
    {IDC_ERASE_NV_BACKUP, &DownloadJob::m_bEraseNvBackup},
    {IDC_EFS_CLEAR, &DownloadJob::m_bEfsClear},
    {IDC_WRITE_MODEM_NV, &DownloadJob::m_bWriteModemNv},
    {IDC_UPDATE_PHONE_BOOT, &DownloadJob::m_bUpdatePhoneBoot},
};

struct OptionWarning {
    int id;
    std::atomic<int> DownloadJob::*field;
    const char* text;
};
constexpr OptionWarning kOptionWarnings[] = {
    {IDC_ERASE_NV_DATA, &DownloadJob::m_bEraseNvData, "\r\n체크하면 NV Data 영역이 삭제됩니다."},
    {IDC_ERASE_NV_BACKUP, &DownloadJob::m_bEraseNvBackup,
     "\r\n체크하면 NV BackUp 영역이 삭제됩니다."},
    {IDC_START_IMMEDIATELY, &DownloadJob::m_bStartImmediately,
     "\r\n단말기 한대만 다운로드할때 체크하세요.\r\n\r\n체크하면 단말기 Detection 하고 즉시 "
     "다운로드를 시작합니다."},
    {IDC_EFS_CLEAR, &DownloadJob::m_bEfsClear,
     "\r\n체크하면 EFS 영역을 삭제하고 초기화시킵니다.\r\n\r\nEFS 영역의 IMEI 값도 삭제되니 "
     "주의하세요."},
    {IDC_UPDATE_PHONE_BOOT, &DownloadJob::m_bUpdatePhoneBoot,
     "\r\n체크하면 폰모듈의 부트영역이 업데이트됩니다."},
};
constexpr const char* kWarningCaption = "경고";

// The job's images as "Start downloading" lists them, in this order.
struct DownLine {
    int kind;
    const char* line;
};
constexpr DownLine kDownLines[] = {
    {kKindEboot, "[Down] EBoot Image. \r\n"},
    {kKindPda, "[Down] PDA Image. \r\n"},
    {kKindCsc, "[Down] CSC Image. \r\n"},
    {kKindTelvik, "[Down] Telvik Image. \r\n"},
    {kKindContents, "[Down] Contents Image. \r\n"},
    {kKindPhone, "[Down] Phone Image. \r\n"},
    {kKindSmd, "[Down] SMD Image. \r\n"},
    {kKindIntegrated, "[Down] Integrated Image. \r\n"},
};

constexpr const char* kModeNames[] = {"NORMAL", "SMD"};
constexpr int kModeNormal = 0;
constexpr int kModeSmd = 1;

bool IsValidPort(int port) {
    return port >= 0 && port < kPortCount;
}

// The worker that runs on this thread, as StartWorker numbered it; 0 on every other thread.
thread_local uint64_t t_qwWorkerId = 0;

}  // namespace

// Holds created workers until every one of a start exists, then lets them all run at once.
class CMorvaneDlg::StartGate {
  public:
    void Open() { Settle(true); }
    // Workers still waiting return without running their job.
    void Cancel() { Settle(false); }
    // True when the gate opened.
    bool Wait() {
        std::unique_lock lock(m_mutex);
        m_settled.wait(lock, [this] { return m_bSettled; });
        return m_bOpen;
    }

  private:
    void Settle(bool open) {
        {
            std::lock_guard lock(m_mutex);
            if (m_bSettled) {
                return;
            }
            m_bSettled = true;
            m_bOpen = open;
        }
        m_settled.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_settled;
    bool m_bSettled = false;
    bool m_bOpen = false;
};

CMorvaneDlg::CMorvaneDlg(DialogView& view, WindowThread& window, DialogHooks hooks)
    : m_view(view),
      m_window(window),
      m_hooks(std::move(hooks)),
      m_MainLog(IDC_MAIN_LOG),
      m_CscLog(IDC_CSC_INFO) {}

CMorvaneDlg::~CMorvaneDlg() {
    Shutdown();
}

void CMorvaneDlg::InitDialogState() {
    ClearAllPorts();
    m_view.ResetComboBox(IDC_MODE_SELECT);
    for (const char* mode : kModeNames) {
        m_view.AddComboString(IDC_MODE_SELECT, mode);
    }
    m_view.SetComboSelection(IDC_MODE_SELECT, kModeNormal);
    if (m_hooks.stopSyncSoftware) {
        m_hooks.stopSyncSoftware();
    }
    for (int id : kNormalModeHidden) {
        m_view.ShowControl(id, false);
    }
}

void CMorvaneDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        for (int kind = 0; kind < kImageKindCount; ++kind) {
            SetPath(kind, m_view.GetText(kImagePathIds[kind]));
        }
        for (const OptionBinding& option : kOptionBindings) {
            (this->*option.field) = m_view.GetCheck(option.id) ? 1 : 0;
        }
        // The log edits are read-only and the record holds entries the boxes may not show yet,
        // so the logs are never read back.
        return;
    }
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        m_view.SetText(kImagePathIds[kind], Path(kind));
    }
    for (const OptionBinding& option : kOptionBindings) {
        m_view.SetCheck(option.id, (this->*option.field).load() != 0);
    }
    ShowWholeLog(m_MainLog);
    ShowWholeLog(m_CscLog);
}

// --- Logs ---

void CMorvaneDlg::AppendToEdit(EditLog& log, std::string_view entry) {
    const bool onWindowThread = m_window.IsWindowThread();
    bool postFlush = false;
    {
        std::lock_guard lock(m_LogMutex);
        log.strText += entry;
        log.strUnshown += entry;
        if (!onWindowThread && !log.bFlushPosted) {
            log.bFlushPosted = postFlush = true;
        }
    }
    if (onWindowThread) {
        ShowUnshown(log, false);
    } else if (postFlush) {
        m_window.Post([this, &log] { ShowUnshown(log, true); });
    }
}

void CMorvaneDlg::ShowUnshown(EditLog& log, bool fromPostedFlush) {
    std::string text;
    {
        std::lock_guard lock(m_LogMutex);
        if (fromPostedFlush) {
            log.bFlushPosted = false;
        }
        text.swap(log.strUnshown);
    }
    if (!text.empty()) {
        m_view.AppendText(log.nControlId, text);
    }
}

void CMorvaneDlg::ShowWholeLog(EditLog& log) {
    std::string text;
    {
        std::lock_guard lock(m_LogMutex);
        text = log.strText;
        log.strUnshown.clear();
    }
    m_view.SetText(log.nControlId, text);
}

void CMorvaneDlg::ClearEditLog(EditLog& log) {
    {
        std::lock_guard lock(m_LogMutex);
        log.strText.clear();
        log.strUnshown.clear();
    }
    m_view.SetText(log.nControlId, "");
}

void CMorvaneDlg::AppendMainLogText(std::string_view entry) {
    AppendToEdit(m_MainLog, entry);
}

void CMorvaneDlg::AppendCscLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string entry = FormatEntryV(format, args);
    va_end(args);
    AppendToEdit(m_CscLog, entry);
}

void CMorvaneDlg::AppendPortLog(int port, const char* format, ...) {
    if (!IsValidPort(port)) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string entry = FormatEntryV(format, args);
    va_end(args);
    std::lock_guard lock(m_LogMutex);
    m_strPortLog[port] += entry;
}

std::string CMorvaneDlg::MainLog() const {
    std::lock_guard lock(m_LogMutex);
    return m_MainLog.strText;
}

std::string CMorvaneDlg::CscLog() const {
    std::lock_guard lock(m_LogMutex);
    return m_CscLog.strText;
}

std::string CMorvaneDlg::PortLog(int port) const {
    if (!IsValidPort(port)) {
        return {};
    }
    std::lock_guard lock(m_LogMutex);
    return m_strPortLog[port];
}

void CMorvaneDlg::ClearMainLog() {
    ClearEditLog(m_MainLog);
}

void CMorvaneDlg::ClearCscLog() {
    ClearEditLog(m_CscLog);
}

LogWindowData CMorvaneDlg::SeeLogData(int port) const {
    return {port, FormatEntry("Thread %d Log:", port), PortLog(port)};
}

void CMorvaneDlg::OnSeeLog(int port) {
    m_view.ShowLogWindow(SeeLogData(port));
}

// --- Status reports ---

void CMorvaneDlg::SendDownloadStatus(uint32_t code, uint32_t param) {
    const uint64_t workerId = t_qwWorkerId;
    m_window.Send([this, code, param, workerId] {
        // A worker whose slot a reset has cleared no longer speaks for that port.
        const int port = StatusPort(param);
        if (workerId != 0 && IsValidPort(port) && m_pWorker[port].qwId != workerId) {
            return;
        }
        OnDownloadStatus(code, param);
    });
}

void CMorvaneDlg::OnDownloadStatus(uint32_t code, uint32_t param) {
    const int port = StatusPort(param);
    if (!IsValidPort(port)) {
        return;
    }
    PortSlot& slot = m_PortSlot[port];
    const int caption = kPortCaptionIds[port];
    const int progress = ProgressId(port);
    const StatusDisplay display = DescribeStatus(code, StatusArgument(param), slot.nKind);
    // A port is counted once as finished or failed: a report after its job has ended (which a
    // sound worker never sends) must not move the counters that the all-finished test sums.
    const int state = slot.nState;
    const bool jobEnded = state == kPortFinished || state == kPortFailed;
    bool failedNow = false;

    if (display.bFinished) {
        m_view.SetBkColor(caption, kColorFinished);
        if (!jobEnded) {
            slot.nState = kPortFinished;
            ++m_nFinished;
        }
        slot.nKind = kKindDone;
        m_view.SetProgressPos(progress, display.nBarPos);
        EnablePortReset(port);
        AppendPortLog(port, "[Success:%d] Finished downloading!\r\n", port);
    } else {
        if (display.nBarPos != StatusDisplay::kKeepBar) {
            m_view.SetProgressPos(progress, display.nBarPos);
        }
        if (display.bFailed && !jobEnded) {
            slot.nState = kPortFailed;
            failedNow = true;
        }
    }

    const int kind = slot.nKind;
    m_view.SetText(caption, FormatEntry(kind < kKindPhone    ? "PDA %d"
                                        : kind == kKindPhone ? "PHONE %d"
                                                             : "OK %d",
                                        port));
    m_view.SetText(progress, display.strText);

    if (failedNow) {
        ++m_nFailed;
        m_view.SetBkColor(caption, kColorFailed);
        EnablePortReset(port);
        ShowDeviceCount();
    }
    if (m_nFinished + m_nFailed == m_nDetected) {
        OnAllFinished();
    }
}

void CMorvaneDlg::OnSelectionStatus(uint32_t code, uint32_t param) {
    const StatusDisplay display = DescribeStatus(code, StatusArgument(param), kKindIntegrated);
    if (!display.strText.empty()) {
        AppendMainLog("%s\r\n", display.strText.c_str());
    }
}

void CMorvaneDlg::OnAllFinished() {
    AppendMainLogText("[Success] All Download finished. \r\n");
    AppendMainLog("[Result] %d finished, %d failed\r\n", m_nFinished, m_nFailed);
    EnableJobControls(true);
    m_view.EnableControl(IDC_DETECT, false);
    m_view.EnableControl(IDC_START_DOWNLOADING, false);
    m_view.EnableControl(IDC_MODE_SELECT, true);
    if (m_onAllFinished) {
        m_onAllFinished();
    }
}

void CMorvaneDlg::EnableJobControls(bool enable) {
    for (int id : kJobControls) {
        m_view.EnableControl(id, enable);
    }
}

void CMorvaneDlg::EnablePortReset(int port) {
    if (IsValidPort(port)) {
        m_view.EnableControl(kPortResetIds[port], true);
    }
}

void CMorvaneDlg::ShowDeviceCount() {
    m_view.SetText(IDC_DEVICE_COUNT,
                   FormatEntry("Currently %d device(s) detected.", m_nDetected - m_nFailed));
}

// --- Start downloading and the workers ---

void CMorvaneDlg::PostStartDownloading() {
    m_window.Post([this] { OnStartDownloading(); });
}

void CMorvaneDlg::OnStartDownloading() {
    JoinEndedWorkers();
    auto gate = std::make_shared<StartGate>();
    m_pStartGate = gate;
    for (int port = 0; port < kPortCount; ++port) {
        if (m_PortSlot[port].nState != kPortAttached) {
            continue;
        }
        m_ThreadParam[port] = {port, this, m_pTransport[port].get()};
        StartWorker(port, gate);
        m_bWaitingForDevice = 0;
        m_PortSlot[port].nState = kPortDownloading;
        --m_nIdlePorts;
    }
    for (const DownLine& down : kDownLines) {
        if (IsSelected(down.kind)) {
            AppendMainLogText(down.line);
        }
    }
    EnableJobControls(false);
    gate->Open();
}

void CMorvaneDlg::StartWorker(int port, const std::shared_ptr<StartGate>& gate) {
    RetireWorker(port);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    const uint64_t id = ++m_qwLastWorkerId;
    // The worker runs on its own copy of the parameter, so a later job on the same port can
    // refill m_ThreadParam while this thread is still returning.
    m_pWorker[port].qwId = id;
    m_pWorker[port].thread = std::thread(
        [gate, ended, id, param = m_ThreadParam[port], body = m_hooks.portWorker]() mutable {
            t_qwWorkerId = id;
            if (gate->Wait() && body) {
                body(param);
            }
            *ended = true;
        });
    m_pWorker[port].pEnded = std::move(ended);
}

void CMorvaneDlg::RetireWorker(int port) {
    if (m_pWorker[port].thread.joinable()) {
        m_RetiredWorkers.push_back(std::move(m_pWorker[port]));
    }
    m_pWorker[port] = {};
}

void CMorvaneDlg::JoinEndedWorkers() {
    std::erase_if(m_RetiredWorkers, [](PortWorker& worker) {
        if (!*worker.pEnded) {
            return false;
        }
        worker.thread.join();
        return true;
    });
}

void CMorvaneDlg::Shutdown() {
    if (m_bShutDown) {
        return;
    }
    m_bShutDown = true;
    m_bStopRequested = true;
    m_window.Shutdown();
    if (m_pStartGate) {
        m_pStartGate->Cancel();
    }
    for (auto& transport : m_pTransport) {
        if (transport) {
            transport->Close();
        }
    }
    for (int port = 0; port < kPortCount; ++port) {
        RetireWorker(port);
    }
    for (PortWorker& worker : m_RetiredWorkers) {
        worker.thread.join();
    }
    m_RetiredWorkers.clear();
}

// --- Port slots and resets ---

void CMorvaneDlg::ClearPortSlot(int port) {
    if (!IsValidPort(port)) {
        return;
    }
    m_strDeviceName[port].clear();
    m_DeviceIdentity[port] = {};
    {
        std::lock_guard lock(m_LogMutex);
        m_strPortLog[port].clear();
    }
    RetireWorker(port);
    m_PortSlot[port].nState = kPortIdle;
    m_PortSlot[port].nKind = kKindEboot;
    if (m_pTransport[port] && m_pTransport[port]->IsOpen()) {
        m_pTransport[port]->Close();
    }
    const int caption = kPortCaptionIds[port];
    const int progress = ProgressId(port);
    m_view.SetTextColor(caption, kSystemColor);
    m_view.SetBkColor(caption, kColorCleared);
    m_view.SetToolTip(caption, {});
    m_view.SetText(progress, "Waiting for device..");
    m_view.ShowProgressText(progress, true);
    m_view.SetProgressRange(progress, 0, 100);
    m_view.SetProgressPos(progress, 0);
    m_FreePortStack.Push(port);
    m_view.SetText(caption, FormatEntry("PDA %d", port));
}

void CMorvaneDlg::ClearAllPorts() {
    m_dwOptionFlags = 0;
    m_nDetected = 0;
    m_nFinished = 0;
    m_nFailed = 0;
    m_nIdlePorts = kPortCount;
    {
        std::lock_guard lock(m_LogMutex);
        m_MainLog.strText.clear();
        m_MainLog.strUnshown.clear();
    }
    m_bWaitingForDevice = 0;
    // Refilled from empty, so the stack ends as 7 ... 0 with port 0 on top.
    while (!m_FreePortStack.IsEmpty()) {
        m_FreePortStack.Pop();
    }
    for (int port = kPortCount - 1; port >= 0; --port) {
        ClearPortSlot(port);
    }
    ShowDeviceCount();
    EnableJobControls(true);
    m_view.EnableControl(IDC_DETECT, false);
    m_view.EnableControl(IDC_START_DOWNLOADING, false);
    m_view.EnableControl(IDC_RESET_ALL, false);
    for (int id : kPortResetIds) {
        m_view.EnableControl(id, false);
    }
    UpdateData(false);
}

void CMorvaneDlg::ResetAll() {
    // ClearAllPorts empties the free-port stack before it refills it.
    ClearAllPorts();
    m_view.EnableControl(IDC_DETECT, true);
    m_view.EnableControl(IDC_LANGUAGE_SELECT, true);
    m_view.EnableControl(IDC_CSC_FILE_SELECT, true);
    m_view.EnableControl(IDC_MODE_SELECT, true);
    UpdateData(false);
}

void CMorvaneDlg::ResetPort(int port) {
    if (!IsValidPort(port)) {
        return;
    }
    ++m_nIdlePorts;
    if (m_PortSlot[port].nState == kPortAttached) {
        --m_nDetected;
    }
    ShowDeviceCount();
    ClearPortSlot(port);
    if (m_bWaitingForDevice) {
        m_view.SetText(ProgressId(port), "Waiting for the device...");
    }
    if (m_nFinished + m_nFailed == m_nDetected) {
        ResetAll();
    }
    UpdateData(false);
}

void CMorvaneDlg::OnResetPortButton(int port) {
    if (!IsValidPort(port)) {
        return;
    }
    ResetPort(port);
    m_view.EnableControl(kPortResetIds[port], false);
}

// --- Buttons, options, close ---

void CMorvaneDlg::OnDetect() {
    UpdateData(true);
    if (m_bCsc) {
        m_bEraseCsc = 0;
    }
    // -1 when nothing is selected: the worker then leaves the handset's language alone.
    m_SelectLangID = m_view.GetComboSelection(IDC_LANGUAGE_SELECT);
    UpdateData(false);
    if (m_hooks.osSetupLine) {
        AppendMainLogText(m_hooks.osSetupLine());
    }
    AppendMainLog("[Setup] Download Ram Size :%d bytes,(%d MB) \r\n",
                  static_cast<int>(m_dwDownloadRamSize),
                  static_cast<int>(m_dwDownloadRamSize >> 20));
    m_bWaitingForDevice = 1;
    EnableJobControls(false);
    m_view.EnableControl(IDC_RESET_ALL, true);
    m_view.EnableControl(IDC_LANGUAGE_SELECT, false);
    m_view.EnableControl(IDC_CSC_FILE_SELECT, false);
    // Switching to NORMAL resets every port: not while a job may start or run.
    m_view.EnableControl(IDC_MODE_SELECT, false);
    if (m_hooks.stopSyncSoftware) {
        m_hooks.stopSyncSoftware();
    }
}

void CMorvaneDlg::OnModeSelect() {
    switch (m_view.GetComboSelection(IDC_MODE_SELECT)) {
        case kModeNormal:
            for (int id : kNormalModeHidden) {
                m_view.ShowControl(id, false);
            }
            if (m_bSmd) {
                ResetAll();
                DeselectImage(kKindSmd);
                UpdateData(false);
            }
            break;
        case kModeSmd:
            for (int id : kSmdModeShown) {
                m_view.ShowControl(id, true);
            }
            break;
        default:
            break;
    }
}

void CMorvaneDlg::DeselectImage(int imageKind) {
    if (imageKind < 0 || imageKind >= kImageKindCount) {
        return;
    }
    UpdateData(true);
    ClearSelection(imageKind);
    if (imageKind == kKindTelvik) {
        g_nTelvikType = 0;
    }
    bool anySelected = false;
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        anySelected = anySelected || IsSelected(kind);
    }
    if (!anySelected) {
        m_view.EnableControl(IDC_DETECT, false);
    }
    if (imageKind == kKindIntegrated) {
        for (int id : kIntegratedComponentControls) {
            m_view.ShowControl(id, true);
        }
    }
    UpdateData(false);
}

void CMorvaneDlg::OnOptionCheck(int id) {
    // Every tick is stored at once: the next refresh of the controls from the stored values (an
    // image choice, a drop) would otherwise clear a box the operator ticked.
    UpdateData(true);
    for (const OptionWarning& warning : kOptionWarnings) {
        if (warning.id != id) {
            continue;
        }
        if ((this->*warning.field).load() != 0) {
            m_view.MessageBox(warning.text, kWarningCaption, MessageIcon::kExclamation,
                              MessageButtons::kOk);
        }
        return;
    }
}

bool CMorvaneDlg::OnClose() {
    if (m_hooks.restartSyncSoftware) {
        m_hooks.restartSyncSoftware();
    }
    const bool jobRunning = m_nDetected != 0 && m_nFinished + m_nFailed != m_nDetected;
    if (jobRunning &&
        m_view.MessageBox("Now Downloading! Quit Anyway?", "Confirm", MessageIcon::kQuestion,
                          MessageButtons::kOkCancelDefaultCancel) != MessageResult::kOk) {
        return false;
    }
    Shutdown();
    m_view.CloseWindow();
    return true;
}

}  // namespace varnel
