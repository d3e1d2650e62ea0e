// The main window without a toolkit: it owns the download job record and runs every handler,
// drawing through a DialogView and reached from other threads through a WindowThread.
//
// Threads: handlers (On..., Reset..., Clear..., UpdateData) run on the window thread. Workers
// use only SendDownloadStatus, AppendMainLog / AppendMainLogText, the log readers,
// PostStartDownloading and StopRequested, which are safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/clock.h"
#include "engine/download_job.h"
#include "engine/download_worker.h"
#include "engine/log_sink.h"
#include "engine/status.h"
#include "transport/device_events.h"
#include "ui/dialog_view.h"
#include "ui/window_thread.h"

namespace varnel {

// What the window calls but does not own.
struct DialogHooks {
    // The download job of one port, run on that port's worker thread. It gets its own copy of
    // the port's PortThreadParam; it ends its job early when StopRequested() turns true.
    std::function<void(PortThreadParam&)> portWorker;
    // The "[Setup] ..." line naming the operating system, written by Detect.
    std::function<std::string()> osSetupLine;
    std::function<void()> stopSyncSoftware;
    std::function<void()> restartSyncSoftware;
    // Pauses of the window thread (the attach); a real clock when not given.
    Clock* clock = nullptr;
    // Main-log warnings about where a handset that has just attached at `portPath` sits on the
    // USB tree, given the port paths of every attached handset: (key, text) pairs, each key
    // warned of once.
    std::function<std::vector<std::pair<std::string, std::string>>(
        const std::string& portPath, const std::vector<std::string>& attachedPortPaths)>
        topologyWarnings;
};

// The worker body that runs the download job of engine/download_worker.h for the window that
// owns the port: reports and log lines go to that window, pauses end when it shuts down.
// `tuning` supplies the clock, the sync-software control and the piece sizes.
std::function<void(PortThreadParam&)> DownloadWorkerHook(const WorkerServices& tuning);

// WM_DEVICECHANGE as the window sees it.
enum class DeviceChange { kArrival, kRemoval, kOther };

class CMorvaneDlg;
class CscView;

// Hands device arrivals and removals, reported on any thread, to the window thread.
class WindowDeviceEvents final : public DeviceEventListener {
  public:
    explicit WindowDeviceEvents(CMorvaneDlg& dlg) : m_dlg(dlg) {}
    void OnDeviceArrival(const std::string& path) override;
    void OnDeviceRemoval(const std::string& path) override;
    void OnForeignDevice(const std::string& description) override;

  private:
    CMorvaneDlg& m_dlg;
};

class CMorvaneDlg : public DownloadJob, public StatusSink, public MainLogSink {
  public:
    CMorvaneDlg(DialogView& view, WindowThread& window, DialogHooks hooks);
    // Shuts down (see Shutdown) before the job record and its transports go away.
    ~CMorvaneDlg() override;

    DialogView& View() { return m_view; }
    WindowThread& Window() { return m_window; }

    // The window's own part of its initialisation, run after the platform has created the
    // transports, decided the RAM size and registered for device notifications: clears every
    // port, fills Mode Select, stops the sync software and hides the SMD-mode controls.
    void InitDialogState();

    // Moves the path edits and option boxes into the job record (true) or back out to the
    // controls (false, which also shows the main log and the CSC box as they stand).
    void UpdateData(bool saveAndValidate);

    // --- Any thread ---

    // WM_DOWNLOAD_STATUS: runs OnDownloadStatus on the window thread and returns after it has.
    void SendDownloadStatus(uint32_t code, uint32_t param) override;
    // Entries never interleave; the text reaches the edit box on the window thread, in order.
    void AppendMainLogText(std::string_view entry) override;
    void AppendCscLog(const char* format, ...) VARNEL_PRINTF(2, 3);
    // Port 0-7; any other port is ignored. Not shown until the port's log window opens.
    void AppendPortLog(int port, const char* format, ...) VARNEL_PRINTF(3, 4);
    std::string MainLog() const;
    std::string CscLog() const;
    std::string PortLog(int port) const;
    // The attach's request to start downloading as if the button were pressed.
    void PostStartDownloading();
    // Set once the window shuts down; a worker's pauses and loops end early when it is.
    const std::atomic<bool>& StopRequested() const { return m_bStopRequested; }

    // --- Window thread ---

    void ClearMainLog();
    void ClearCscLog();

    void OnDownloadStatus(uint32_t code, uint32_t param);
    // A status the image selection raises before any device is attached (the integrated-image
    // check): shown in the main log only, so no port is marked and no counter moves.
    void OnSelectionStatus(uint32_t code, uint32_t param);
    void OnStartDownloading();
    void OnDetect();
    void OnModeSelect();
    // BN_CLICKED of an option box: the box's warning when it is now checked.
    void OnOptionCheck(int id);
    // WM_CLOSE. True when the window closed (the channel is then shut down and the workers
    // joined), false when the operator chose to keep it open.
    bool OnClose();
    void OnSeeLog(int port);
    LogWindowData SeeLogData(int port) const;

    // Runs on the window thread after "[Success] All Download finished." has been handled.
    void SetAllFinishedHandler(std::function<void()> handler) {
        m_onAllFinished = std::move(handler);
    }

    void ResetAll();
    void ResetPort(int port);
    // BN_CLICKED of a port's "reset" button.
    void OnResetPortButton(int port);
    void EnablePortReset(int port);
    void ClearPortSlot(int port);
    void ClearAllPorts();
    // The press of a selected image's button: clears that kind (image kind 0-7). The image
    // button handlers run it for a kind that is already selected.
    void DeselectImage(int imageKind);
    // Static 1025: "Currently %d device(s) detected." with m_nDetected - m_nFailed.
    void ShowDeviceCount();

    // --- Devices (window thread; morvane_dlg_devices.cpp) ---

    // Arrivals attach the device that arrived to the next free port and removals release an
    // attached port, both only while detecting. A device that refused the handshake is set aside
    // until it is unplugged. Changes that come while an attach runs (a message box's nested
    // event loop) wait until it has ended.
    void OnDeviceChange(DeviceChange change, const std::string& interfaceName);
    // While detecting: names a USB device that is not in the match list, once per arrival.
    void OnForeignDevice(const std::string& description);
    // The attach handshake of the device at `devicePath` on the top of the free-port stack.
    void AttachDevice(const std::string& devicePath);
    // The port whose open transport holds the device at `devicePath`, or -1.
    int PortHolding(const std::string& devicePath) const;
    // Once per condition: a handset that has just attached on `port` links below high speed, or
    // shares its hub with more handsets than the hub carries at full pace.
    void WarnOfTopology(int port);

    // --- Image selection (window thread; morvane_dlg_images.cpp) ---

    // The button of a selection kind (0-3, 5-8): deselects a chosen image, else runs
    // SelectImageFile and logs its failure.
    void OnImageButton(int selectionKind);
    // 0 chosen and loaded, 1 wrong extension, 2 empty path, 3 cancelled, 4 rejected by
    // LoadImageInfo.
    int SelectImageFile(int selectionKind);
    bool LoadImageInfo(int selectionKind);
    // Files dropped on the window, in the order the drop lists them.
    void OnDropFiles(const std::vector<std::string>& fileNames);
    // CBN_SELCHANGE of "CSC File Select".
    void OnSelectCscFile();

    // Stops and joins every worker: refuses further window messages (releasing workers that
    // wait in SendDownloadStatus), cancels workers not yet released, closes the transports so
    // blocked transfers return, then joins. Idempotent.
    void Shutdown();

  private:
    class StartGate;

    // A log shown in an edit box: the whole text, and what the box has not been given yet.
    struct EditLog {
        explicit EditLog(int controlId) : nControlId(controlId) {}

        const int nControlId;
        std::string strText;
        std::string strUnshown;
        bool bFlushPosted = false;
    };

    struct PortWorker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> pEnded;
        uint64_t qwId = 0;  // 0 when no worker runs for the port
    };

    void AppendToEdit(EditLog& log, std::string_view entry);
    void ShowUnshown(EditLog& log, bool fromPostedFlush);
    void ShowWholeLog(EditLog& log);
    void ClearEditLog(EditLog& log);
    void EnableJobControls(bool enable);
    void OnAllFinished();
    void StartWorker(int port, const std::shared_ptr<StartGate>& gate);
    // The CSC information box, combo boxes and job fields as the CSC parser sees them.
    CscView& CscPresenter();
    Clock& WindowClock();
    void RetireWorker(int port);
    void JoinEndedWorkers();

    DialogView& m_view;
    WindowThread& m_window;
    const DialogHooks m_hooks;

    mutable std::mutex m_LogMutex;
    EditLog m_MainLog;
    EditLog m_CscLog;
    std::string m_strPortLog[kPortCount];

    PortWorker m_pWorker[kPortCount];
    // Workers of cleared slots; joined once they have ended, or at shutdown.
    std::vector<PortWorker> m_RetiredWorkers;
    uint64_t m_qwLastWorkerId = 0;
    std::shared_ptr<StartGate> m_pStartGate;
    std::atomic<bool> m_bStopRequested{false};
    std::unique_ptr<CscView> m_pCscView;
    bool m_bShutDown = false;
    std::function<void()> m_onAllFinished;

    // Device state of the window thread (morvane_dlg_devices.cpp).
    std::set<std::string> m_SetAsideDevices;
    std::set<std::string> m_WarnedTopology;
    bool m_bAttaching = false;
    std::deque<std::pair<DeviceChange, std::string>> m_DeferredChanges;
};

}  // namespace varnel
