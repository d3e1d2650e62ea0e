// The cost of one status report: handled directly on the window thread, and sent from worker
// threads through the message loop (the worker waits until the window has handled it).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/null_dialog_view.h"
#include "ui/morvane_dlg.h"

namespace {

using namespace varnel;
using Clock = std::chrono::steady_clock;

constexpr int kDirectReports = 1'000'000;
constexpr int kSentReports = 100'000;

double MicrosecondsPer(Clock::duration elapsed, int count) {
    return std::chrono::duration<double, std::micro>(elapsed).count() / count;
}

// Every port attached and downloading, so no report ends the job.
void StartJob(CMorvaneDlg& dlg) {
    for (int port = 0; port < kPortCount; ++port) {
        dlg.m_PortSlot[port].nState = kPortDownloading;
        dlg.m_PortSlot[port].nKind = port % kImageKindCount;
    }
    dlg.m_nDetected = kPortCount;
}

uint32_t ProgressCode(int i) {
    return i % 2 == 0 ? kStatusRamProgress : kStatusFlashProgress;
}

void TimeDirect() {
    MessageLoop loop;
    bench::NullDialogView view;
    CMorvaneDlg dlg(view, loop, {});
    dlg.InitDialogState();
    StartJob(dlg);
    const auto start = Clock::now();
    for (int i = 0; i < kDirectReports; ++i) {
        dlg.OnDownloadStatus(ProgressCode(i), StatusParam(i % kPortCount, i % 101));
    }
    std::printf("OnDownloadStatus on the window thread: %.3f us per report (%d reports)\n",
                MicrosecondsPer(Clock::now() - start, kDirectReports), kDirectReports);
}

void TimeSent(int workers) {
    MessageLoop loop;
    bench::NullDialogView view;
    CMorvaneDlg dlg(view, loop, {});
    dlg.InitDialogState();
    StartJob(dlg);
    const int perWorker = kSentReports / workers;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
            for (int i = 0; i < perWorker; ++i) {
                dlg.SendDownloadStatus(ProgressCode(i), StatusParam(worker, i % 101));
            }
            if (++done == workers) {
                loop.Quit();
            }
        });
    }
    loop.Run();
    const auto elapsed = Clock::now() - start;
    for (auto& thread : threads) {
        thread.join();
    }
    std::printf(
        "SendDownloadStatus through the message loop, %d worker(s): %.3f us per report "
        "(%d reports)\n",
        workers, MicrosecondsPer(elapsed, perWorker * workers), perWorker * workers);
}

}  // namespace

int main() {
    TimeDirect();
    TimeSent(1);
    TimeSent(8);
    return 0;
}
