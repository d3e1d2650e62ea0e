// The main window on a recording view, driven by a test through whole jobs on real transports:
// Detect, device events from a monitor, the attach, the workers and the window's picture of the
// end. The test gives each port its transport.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/clock.h"
#include "sim/image_builder.h"
#include "support/image_dir.h"
#include "support/sim_port.h"
#include "tests/ui/fake_dialog_view.h"
#include "ui/morvane_dlg.h"

namespace varnel::test {

// Real pauses, shortened: the worker's one-second launch-barrier polls and reconnect pauses take
// a fiftieth of that, and a device on real time still has the time it needs to come back.
class ScaledClock final : public Clock {
  public:
    static constexpr uint32_t kScale = 50;
    void Sleep(uint32_t milliseconds) override;
    uint64_t TickCount() override { return system_.TickCount() * kScale; }

  private:
    SystemClock system_;
};

class WindowJob {
  public:
    // Every port gets a transport from `makeTransport`; short reply time-outs, no boot wait.
    explicit WindowJob(const std::function<std::unique_ptr<CUsbInterface>()>& makeTransport);
    ~WindowJob();

    CMorvaneDlg& Dlg() { return *dlg_; }
    FakeDialogView& View() { return view_; }
    // Where device events go (hand it to a monitor).
    DeviceEventListener& Events() { return *events_; }

    // Runs window messages until `done` holds; false when it does not within `limit`.
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(60));
    bool Finished();
    // Builds the image and selects it as the kind's button would.
    std::string Choose(int imageKind, const std::string& fileName, const ImageSpec& layout,
                       ImageManifest* manifest);

  private:
    ScopedProtocolTimeouts timeouts_;
    ScaledClock clock_;
    ImageDir images_;
    MessageLoop loop_;
    FakeDialogView view_;
    std::unique_ptr<CMorvaneDlg> dlg_;
    std::unique_ptr<WindowDeviceEvents> events_;
};

}  // namespace varnel::test
