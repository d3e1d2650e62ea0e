// The Qt main window wired to the window logic, with its ports on a simulated bus whose handsets
// run on virtual time: what the desktop program builds, minus the host.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "images/image_globals.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "support/image_dir.h"
#include "support/sim_port.h"
#include "tests/qt/qt_test_util.h"
#include "tests/ui/test_window.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_thread.h"

namespace varnel::test {

inline constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

class QtWindowTest : public ::testing::Test {
  protected:
    QtWindowTest() : timeouts_(300) {
        ClearJobGlobals();
        DialogHooks hooks = TestWindowHooks(clock_);
        hooks.restartSyncSoftware = [this] { ++restartSyncCalls_; };
        window_ = std::make_unique<QtMainWindow>();
        dlg_ = std::make_unique<CMorvaneDlg>(window_->View(), thread_, std::move(hooks));
        for (auto& transport : dlg_->m_pTransport) {
            transport = std::make_unique<SimTransport>(bus_);
        }
        window_->Attach(*dlg_);
        dlg_->InitDialogState();
        events_ = std::make_unique<WindowDeviceEvents>(*dlg_);
        bus_.AddListener(events_.get());
        window_->show();
        QCoreApplication::processEvents();
    }

    ~QtWindowTest() override {
        bus_.RemoveListener(events_.get());
        dlg_->Shutdown();
        window_->Detach();
        QCoreApplication::processEvents();
        dlg_.reset();
        window_.reset();
    }

    template <typename Widget = QWidget>
    Widget* Control(int id) {
        auto* control = FindControl<Widget>(*window_, id);
        EXPECT_NE(control, nullptr) << "control " << id;
        return control;
    }
    void Click(int id) { QTest::mouseClick(Control<QAbstractButton>(id), Qt::LeftButton); }
    bool Enabled(int id) { return Control(id)->isEnabled(); }
    bool Shown(int id) { return Control(id)->isVisibleTo(window_.get()); }
    std::string Text(int id) { return window_->View().GetText(id); }

    static bool WaitFor(const std::function<bool()>& done, int limitMs = 30000) {
        return ProcessEventsUntil(done, limitMs);
    }
    // Drags local files onto the window and drops them there, listed in this order.
    void Drop(const std::vector<std::string>& paths) {
        QList<QUrl> urls;
        for (const std::string& path : paths) {
            urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
        }
        QMimeData data;
        data.setUrls(urls);
        const QPoint where = window_->rect().center();
        QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window_.get(), &enter);
        ASSERT_TRUE(enter.isAccepted()) << "the window takes files";
        QDropEvent drop(QPointF(where), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window_.get(), &drop);
    }
    bool JobFinished() { return dlg_->MainLog().find(kAllFinished) != std::string::npos; }

    // Plugs a handset in; its arrival is attached once the window has handled it.
    void Plug(const std::string& instance, HandsetConfig config = {}) {
        config.instance = instance;
        const int detected = dlg_->m_nDetected;
        paths_.push_back(bus_.Plug(std::make_shared<VirtualHandset>(config)));
        EXPECT_TRUE(WaitFor([&] { return dlg_->m_nDetected > detected; }, 5000)) << instance;
    }
    int Port(const std::string& instance) {
        for (int port = 0; port < kPortCount; ++port) {
            if (dlg_->m_strDeviceName[port] == instance) {
                return port;
            }
        }
        return -1;
    }

    std::string BuildPda(const std::string& name, uint64_t size) {
        ImageSpec spec;
        spec.format = ImageFormat::kPda;
        spec.pda.dataSize = size;
        spec.pda.langpack = true;
        return images_.Build(name, spec);
    }

    ScopedProtocolTimeouts timeouts_;
    FakeClock clock_;
    SimBus bus_{clock_};
    ImageDir images_;
    QtWindowThread thread_;
    std::unique_ptr<QtMainWindow> window_;
    std::unique_ptr<CMorvaneDlg> dlg_;
    std::unique_ptr<WindowDeviceEvents> events_;
    std::vector<std::string> paths_;
    int restartSyncCalls_ = 0;
};

}  // namespace varnel::test
