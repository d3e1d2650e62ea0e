// A main window on a recording view and a message loop whose window thread is the test's own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "tests/ui/fake_dialog_view.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"

namespace varnel::test {

class WindowTest : public ::testing::Test {
  protected:
    // `worker` is the body of every port's worker thread.
    explicit WindowTest(std::function<void(PortThreadParam&)> worker = {}) {
        DialogHooks hooks;
        hooks.portWorker = std::move(worker);
        hooks.osSetupLine = [] { return std::string("[Setup] Windows 7 \r\n"); };
        hooks.stopSyncSoftware = [this] { ++stopSyncCalls; };
        hooks.restartSyncSoftware = [this] { ++restartSyncCalls; };
        dlg = std::make_unique<CMorvaneDlg>(view, loop, std::move(hooks));
        dlg->InitDialogState();
    }

    // What a successful attach leaves behind, without a device.
    void Attach(int port) {
        dlg->m_PortSlot[port].nState = kPortAttached;
        dlg->m_PortSlot[port].nKind = kKindEboot;
        ++dlg->m_nDetected;
    }
    // An attached port whose worker runs (without a thread).
    void AttachRunning(int port) {
        Attach(port);
        dlg->m_PortSlot[port].nState = kPortDownloading;
    }

    void Report(int port, uint32_t code, uint32_t argument = 0) {
        dlg->OnDownloadStatus(code, StatusParam(port, argument));
    }

    std::string Caption(int port) { return view.text[kPortCaptionIds[port]]; }
    std::string BarText(int port) { return view.text[ProgressId(port)]; }
    int BarPos(int port) { return view.pos[ProgressId(port)]; }

    MessageLoop loop;
    FakeDialogView view;
    std::atomic<int> stopSyncCalls{0};
    std::atomic<int> restartSyncCalls{0};
    std::unique_ptr<CMorvaneDlg> dlg;
};

// The 25 controls a job locks, in their order, each with the given direction. Spelled out here
// so that a wrong id or order in the window's own list shows.
inline std::vector<std::pair<int, bool>> JobControlCalls(bool enable) {
    constexpr int kExpected[] = {1019, 1035, 1037, 1041, 1036, 1043, 1046, 1050, 1021,
                                 1022, 1069, 1085, 1088, 1086, 1092, 1095, 1053, 1047,
                                 1093, 1096, 1089, 1098, 1100, 1099, 1103};
    std::vector<std::pair<int, bool>> calls;
    for (int id : kExpected) {
        calls.emplace_back(id, enable);
    }
    return calls;
}

}  // namespace varnel::test
