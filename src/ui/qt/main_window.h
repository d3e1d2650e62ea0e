// The main window in Qt: the controls of the download bench laid out in their groups, each
// registered with the Qt view under its control id, and every button, check box, combo box, drop
// and close request handed to the window logic (CMorvaneDlg) on the window thread.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/host_startup.h"
#include "ui/qt/qt_dialog_view.h"

class QAction;
class QMenu;

namespace varnel {

class CMorvaneDlg;

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

    std::unique_ptr<QtDialogView> m_pView;
    CMorvaneDlg* m_pDlg = nullptr;
    std::function<std::string(uint32_t)> m_resourceString;
    std::function<bool(uint32_t&)> m_deviceRegistration;
    QMenu* m_pSystemMenu = nullptr;
    bool m_bCloseApproved = false;
    bool m_bInCloseEvent = false;
};

}  // namespace varnel
