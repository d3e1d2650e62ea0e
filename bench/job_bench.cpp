// A whole download job through the window on simulated handsets: aggregate MB/s for one port and
// for eight at once, and the peak memory of the process, which must not grow with the image.
// Pauses run on a fake clock, so the figures are those of the data path.
//   job_bench [MiB per port, default 64]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/null_dialog_view.h"
#include "engine/clock.h"
#include "engine/download_worker.h"
#include "sim/image_builder.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "ui/morvane_dlg.h"

using namespace varnel;

namespace {

constexpr char kAllFinished[] = "[Success] All Download finished. \r\n";

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Seconds of one job of `ports` handsets writing the PDA image at `path`; negative on failure.
double RunJob(const std::string& path, uint64_t fileSize, int ports, uint32_t roundTripMicros) {
    FakeClock clock;
    SimBus bus(clock);
    MessageLoop loop;
    bench::NullDialogView view;
    WorkerServices tuning;
    tuning.clock = &clock;
    DialogHooks hooks;
    hooks.portWorker = DownloadWorkerHook(tuning);
    hooks.clock = &clock;
    CMorvaneDlg dlg(view, loop, std::move(hooks));
    for (auto& transport : dlg.m_pTransport) {
        transport = std::make_unique<SimTransport>(bus);
    }
    dlg.InitDialogState();
    WindowDeviceEvents events(dlg);
    bus.AddListener(&events);

    dlg.OnDetect();
    // Detect reads the (empty) path boxes of this view into the record: choose afterwards.
    dlg.SetPath(kKindPda, path);
    dlg.SelectedFlag(kKindPda) = 1;
    dlg.SetSpan(kKindPda, {0, fileSize});
    // The boot wait is no transfer; leave it out of the figure.
    dlg.m_bSkipBootWait = 1;
    for (int port = 0; port < ports; ++port) {
        HandsetConfig config;
        config.instance = "BENCH" + std::to_string(port);
        config.recordMode = RecordMode::kDigest;
        config.timing.roundTripMicros = roundTripMicros;
        bus.Plug(std::make_shared<VirtualHandset>(config));
        loop.RunPending();
    }
    const auto start = std::chrono::steady_clock::now();
    if (ports < kPortCount) {
        dlg.OnStartDownloading();
    }
    while (dlg.MainLog().find(kAllFinished) == std::string::npos) {
        loop.RunOne(std::chrono::milliseconds(50));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bus.RemoveListener(&events);
    dlg.Shutdown();
    return dlg.m_nFinished == ports ? seconds : -1.0;
}

void Report(const char* title, const std::string& path, uint64_t fileSize, uint64_t dataSize,
            uint32_t roundTripMicros) {
    const double one = RunJob(path, fileSize, 1, roundTripMicros);
    const double eight = RunJob(path, fileSize, kPortCount, roundTripMicros);
    if (one < 0 || eight < 0) {
        std::printf("%s: a port failed\n", title);
        return;
    }
    const double mb = static_cast<double>(dataSize) / 1e6;
    const double oneRate = mb / one;
    const double eightRate = kPortCount * mb / eight;
    std::printf(
        "%s\n  1 port : %8.1f MB/s  (%.3f s)\n  8 ports: %8.1f MB/s aggregate  (%.3f s)\n"
        "  8 ports / (8 x 1 port) = %.3f\n",
        title, oneRate, one, eightRate, eight, eightRate / (kPortCount * oneRate));
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    const std::string big = dir + "/varnel-job-bench-big.nb0";
    const std::string small = dir + "/varnel-job-bench-small.nb0";
    ImageManifest bigManifest;
    ImageManifest smallManifest;
    std::string error;
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = mebibytes << 20;
    if (!BuildImage(big, spec, bigManifest, error)) {
        std::printf("cannot build the image: %s\n", error.c_str());
        return 1;
    }
    spec.pda.dataSize = 2 << 20;
    if (!BuildImage(small, spec, smallManifest, error)) {
        std::printf("cannot build the image: %s\n", error.c_str());
        return 1;
    }
    std::printf("PDA image of %llu MiB per port, handsets recording digests only\n",
                static_cast<unsigned long long>(mebibytes));
    Report("no simulated delay", big, bigManifest.fileSize, mebibytes << 20, 0);
    std::printf("peak memory after the %llu MiB jobs: %.1f MiB\n",
                static_cast<unsigned long long>(mebibytes), PeakRssMiB());
    Report("250 us round trip per reply, 2 MiB per port", small, smallManifest.fileSize, 2 << 20,
           250);
    std::remove(big.c_str());
    std::remove(small.c_str());
    return 0;
}
