#include "tests/platform/window_job.h"

#include <thread>

#include "engine/protocol.h"
#include "images/image_globals.h"
#include "tests/ui/test_window.h"

namespace varnel::test {

namespace {

constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

}  // namespace

void ScaledClock::Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 1000ull / kScale));
}

WindowJob::WindowJob(const std::function<std::unique_ptr<CUsbInterface>()>& makeTransport)
    : timeouts_(3000) {
    ClearJobGlobals();
    DialogHooks hooks = TestWindowHooks(clock_);
    dlg_ = std::make_unique<CMorvaneDlg>(view_, loop_, std::move(hooks));
    for (auto& transport : dlg_->m_pTransport) {
        transport = makeTransport();
    }
    dlg_->InitDialogState();
    dlg_->m_bSkipBootWait = 1;
    dlg_->UpdateData(false);
    events_ = std::make_unique<WindowDeviceEvents>(*dlg_);
}

WindowJob::~WindowJob() {
    dlg_->Shutdown();
}

bool WindowJob::PumpUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        loop_.RunOne(std::chrono::milliseconds(20));
    }
    return true;
}

bool WindowJob::Finished() {
    return dlg_->MainLog().find(kAllFinished) != std::string::npos;
}

std::string WindowJob::Choose(int imageKind, const std::string& fileName, const ImageSpec& layout,
                              ImageManifest* manifest) {
    const std::string path = images_.Build(fileName, layout, manifest);
    dlg_->SetPath(imageKind, path);
    dlg_->SelectedFlag(imageKind) = 1;
    dlg_->SetSpan(imageKind, {0, manifest->fileSize});
    dlg_->UpdateData(false);
    return path;
}

}  // namespace varnel::test
