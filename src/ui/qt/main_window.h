// The main window in Qt: the controls of the download bench laid out in their groups, each
// registered with the Qt view under its control id, and every button, check box, combo box, drop
// and close request handed to the window logic (CMorvaneDlg) on the window thread.
#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/download_job.h"
#include "engine/host_startup.h"
#include "ui/qt/qt_dialog_view.h"

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QTimer;

namespace varnel {

class CMorvaneDlg;

// The text beside a port's bar: who the handset is, then on a second line how long its download
// has run and its average rate in MB/s (2^20 bytes) over that time, once some time has passed
// and when the bytes sent are known.
std::string PortRowInfo(const std::string& identity, double seconds,
                        std::optional<uint64_t> bytesSent);

class QtMainWindow final : public QWidget, public StartupWindow {
    Q_OBJECT

  public:
    explicit QtMainWindow(QWidget* parent = nullptr);
    ~QtMainWindow() override;

    QtDialogView& View() { return *m_pView; }
    // Hands the controls' events to `dlg` until Detach; the window's logic draws through View().
    void Attach(CMorvaneDlg& dlg);
    void Detach();
    // The string table, for the about box (the title and about-box strings).
    void SetResourceStrings(std::function<std::string(uint32_t)> lookup);
    // What the device-notification registration runs; without one it succeeds.
    void SetDeviceRegistration(std::function<bool(uint32_t&)> registration);
    // The bytes sent so far to a port's handset, for the rate beside its bar.
    void SetTrafficSource(std::function<uint64_t(int port)> bytesSent);
    // Refreshes the identity, elapsed time and rate beside every bar (a timer does it while the
    // window is shown).
    void RefreshPortRows();

    // Runs when a job is over, before anything clears its ports: once every port is done, and
    // when Reset All is pressed.
    void SetJobEndHandler(std::function<void()> handler) { m_jobEnd = std::move(handler); }

    // "Start over after each job": once every port is done, reset all and Detect again.
    bool StartOverAfterEachJob() const;
    void SetStartOverAfterEachJob(bool on);

    // StartupWindow.
    void ShowMessageBox(const std::string& text, const std::string& caption) override;
    void RequestClose() override;
    void SetWindowTitle(const std::string& title) override;
    void AppendAboutMenuItem(const std::string& text) override;
    bool RegisterDeviceNotifications(uint32_t& errorCode) override;

    // The system menu (Minimize, Close, and the about-box item once appended); it opens on a
    // right click on the window and on Alt+Space.
    QMenu* SystemMenu() const { return m_pSystemMenu; }
    void ShowAboutBox();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void BuildControls();
    // Runs `handler` on the attached window logic, if any.
    void Dispatch(const std::function<void(CMorvaneDlg&)>& handler);
    void OnClicked(int id, std::function<void(CMorvaneDlg&)> handler);
    // The view's end of the window: a close the logic has agreed to.
    void CloseApproved();
    void StartOver();
    void EndJob();
    // 0 without a traffic source.
    uint64_t BytesSent(int port) const;

    // When a port's download began and what had been sent by then; the end once it is done.
    struct PortPace {
        std::optional<std::chrono::steady_clock::time_point> start;
        std::optional<std::chrono::steady_clock::time_point> end;
        uint64_t qwStartBytes = 0;
        uint64_t qwEndBytes = 0;
    };

    std::unique_ptr<QtDialogView> m_pView;
    CMorvaneDlg* m_pDlg = nullptr;
    std::function<std::string(uint32_t)> m_resourceString;
    std::function<bool(uint32_t&)> m_deviceRegistration;
    std::function<uint64_t(int)> m_bytesSent;
    std::function<void()> m_jobEnd;
    // The images of the job Detect began; the job uses some of them up, a new one chooses them
    // again.
    std::array<std::string, kImageKindCount> m_jobImages;
    std::array<QLabel*, kPortCount> m_portInfo{};
    std::array<PortPace, kPortCount> m_portPace{};
    QTimer* m_pRowTimer = nullptr;
    QCheckBox* m_pStartOver = nullptr;
    QMenu* m_pSystemMenu = nullptr;
    bool m_bCloseApproved = false;
    bool m_bInCloseEvent = false;
};

}  // namespace varnel
