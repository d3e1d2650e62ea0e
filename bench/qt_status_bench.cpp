// The Qt window under load, offscreen: what one status report costs when it is handled and
// painted with eight ports running (on the window thread, and sent from eight worker threads),
// and a whole simulated eight-port job through the window against the same job through
// varnel-cli.
//
// Usage: qt_status_bench [reports] [MiB per port]
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/desktop_bench.h"
#include "engine/download_worker.h"
#include "engine/protocol.h"
#include "images/image_globals.h"
#include "sim/image_builder.h"
#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_thread.h"

namespace {

using namespace varnel;
using Steady = std::chrono::steady_clock;

constexpr int kJobRuns = 3;
constexpr uint32_t kTimeScale = 1000;
constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

double Milliseconds(Steady::duration elapsed) {
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

// CPU time of the calling thread: unlike the wall clock, not inflated by other processes on a
// busy machine.
double ThreadCpuMilliseconds() {
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6;
}

// The window shown and painted, with every port attached and downloading, so no report ends
// the job.
struct BusyWindow {
    QtWindowThread thread;
    QtMainWindow window;
    CMorvaneDlg dlg{window.View(), thread, {}};

    BusyWindow() {
        window.Attach(dlg);
        dlg.InitDialogState();
        window.show();
        QCoreApplication::processEvents();
        for (int port = 0; port < kPortCount; ++port) {
            dlg.m_PortSlot[port].nState = kPortDownloading;
            dlg.m_PortSlot[port].nKind = kKindPda;
        }
        dlg.m_nDetected = kPortCount;
    }
    ~BusyWindow() {
        window.Detach();
        dlg.Shutdown();
    }
};

uint32_t ProgressCode(int i) {
    return i % 2 == 0 ? kStatusRamProgress : kStatusFlashProgress;
}

// Handles the events queued now (the paints the reports asked for among them).
void Flush() {
    QCoreApplication::processEvents();
}

// Runs the window thread's event loop, as the program does, until `done` holds (looked at every
// few milliseconds).
void RunEventLoopUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    check.start(5);
    loop.exec();
}

void TimeOnWindowThread(int reports) {
    BusyWindow busy;
    CMorvaneDlg& dlg = busy.dlg;
    std::vector<double> costs;
    costs.reserve(static_cast<size_t>(reports));
    const auto start = Steady::now();
    const double cpuStart = ThreadCpuMilliseconds();
    for (int i = 0; i < reports; ++i) {
        const auto begin = Steady::now();
        dlg.OnDownloadStatus(ProgressCode(i), StatusParam(i % kPortCount, (i / kPortCount) % 101));
        Flush();
        costs.push_back(Milliseconds(Steady::now() - begin));
    }
    const double total = Milliseconds(Steady::now() - start);
    const double cpu = ThreadCpuMilliseconds() - cpuStart;
    std::sort(costs.begin(), costs.end());
    std::printf(
        "status report handled and painted on the window thread (%d reports, 8 ports): %.3f ms "
        "average, %.3f ms median, %.3f ms 99th percentile, %.3f ms worst; %.3f ms CPU\n",
        reports, total / reports, costs[costs.size() / 2], costs[costs.size() * 99 / 100],
        costs.back(), cpu / reports);
}

void TimeFromWorkers(int reports) {
    BusyWindow busy;
    CMorvaneDlg& dlg = busy.dlg;
    const int perWorker = reports / kPortCount;
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    const auto start = Steady::now();
    for (int port = 0; port < kPortCount; ++port) {
        workers.emplace_back([&, port] {
            for (int i = 0; i < perWorker; ++i) {
                dlg.SendDownloadStatus(ProgressCode(i), StatusParam(port, i % 101));
            }
            ++done;
        });
    }
    RunEventLoopUntil([&] { return done == kPortCount; });
    Flush();
    const double total = Milliseconds(Steady::now() - start);
    for (auto& worker : workers) {
        worker.join();
    }
    std::printf(
        "status report sent by 8 workers, handled and painted: %.3f ms per report (%d reports)\n",
        total / (perWorker * kPortCount), perWorker * kPortCount);
}

// An eight-port simulated job through the desktop program's own bench and window, as an
// operator runs it: the image dropped, Detect pressed, the handsets arriving one by one (the
// eighth attach starts the job), until the all-finished line.
struct WindowJob {
    double wallMs;
    double windowCpuMs;  // spent by the window thread
};

WindowJob JobThroughQtWindow(const std::string& image) {
    for (auto& busy : g_bPortBusy) {
        busy = 0;
    }
    const auto start = Steady::now();
    const double cpuStart = ThreadCpuMilliseconds();
    QtWindowThread thread;
    QtMainWindow window;
    DesktopOptions options;
    options.transport = TransportKind::kSim;
    options.nSimulated = kPortCount;
    options.dwTimeScale = kTimeScale;
    DesktopBench bench(options, thread, window);
    std::string error;
    if (!bench.Start(error)) {
        std::fprintf(stderr, "qt_status_bench: the bench did not start: %s\n", error.c_str());
        std::exit(1);
    }
    window.show();
    CMorvaneDlg& dlg = bench.Application().Dialog();
    dlg.OnDropFiles({image});
    qobject_cast<QPushButton*>(window.View().Control(IDC_DETECT))->click();
    // The counters live on this thread; reading the whole main log each time would cost more
    // than the window itself.
    RunEventLoopUntil([&] { return dlg.m_nFinished + dlg.m_nFailed == kPortCount; });
    const WindowJob job{Milliseconds(Steady::now() - start), ThreadCpuMilliseconds() - cpuStart};
    if (dlg.m_nFinished != kPortCount) {
        std::fprintf(stderr, "qt_status_bench: only %d of 8 ports finished\n", dlg.m_nFinished);
        std::exit(1);
    }
    return job;
}

#ifdef VARNEL_CLI_PROGRAM
// The same job through varnel-cli, as a whole process.
double JobThroughCli(const std::string& image) {
    const std::string command = std::string(VARNEL_CLI_PROGRAM) + " --simulate 8 --pda '" + image +
                                "' --sim-time-scale " + std::to_string(kTimeScale) +
                                " > /dev/null 2>&1";
    const auto start = Steady::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "qt_status_bench: varnel-cli failed: %s\n", command.c_str());
        std::exit(1);
    }
    return Milliseconds(Steady::now() - start);
}
#endif

void CompareJobs(uint64_t mebibytes) {
    const std::string image =
        (std::filesystem::temp_directory_path() / "varnel-qt-bench.nb0").string();
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = mebibytes << 20;
    spec.pda.langpack = true;
    ImageManifest manifest;
    std::string error;
    if (!BuildImage(image, spec, manifest, error)) {
        std::fprintf(stderr, "qt_status_bench: cannot build the image: %s\n", error.c_str());
        std::exit(1);
    }
    WindowJob best{1e300, 0};
    for (int run = 0; run < kJobRuns; ++run) {
        const WindowJob job = JobThroughQtWindow(image);
        if (job.wallMs < best.wallMs) {
            best = job;
        }
    }
    const double window = best.wallMs;
    std::printf(
        "8 simulated handsets, %llu MiB PDA each, pauses %ux faster, best of %d: the job "
        "through the Qt window %.0f ms (window thread busy %.0f ms of it)\n",
        static_cast<unsigned long long>(mebibytes), kTimeScale, kJobRuns, window, best.windowCpuMs);
#ifdef VARNEL_CLI_PROGRAM
    double cli = 1e300;
    for (int run = 0; run < kJobRuns; ++run) {
        cli = std::min(cli, JobThroughCli(image));
    }
    std::printf("the same job through varnel-cli %.0f ms (window %+.1f%%)\n", cli,
                (window / cli - 1.0) * 100.0);
#else
    std::printf("varnel-cli is not built: no comparison\n");
#endif
    std::filesystem::remove(image);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const int reports = argc > 1 ? std::max(std::atoi(argv[1]), kPortCount) : 20000;
    const uint64_t mebibytes = argc > 2 ? std::max(std::atoi(argv[2]), 1) : 4;
    QApplication app(argc, argv);
    g_nCscType = kCscUnknown;
    g_nTelvikType = kTelvikNone;
    TimeOnWindowThread(reports);
    TimeFromWorkers(reports);
    CompareJobs(mebibytes);
    return 0;
}
