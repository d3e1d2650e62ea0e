// Host-side speed of DownloadToRam + WriteFlash through the in-process simulator: one port
// alone, then eight ports at once, with no device delay and with a simulated round trip.
//
// Usage: download_bench [MiB per port without delay] [MiB per port with the round trip]
//
// Without delay each port repeats its job a few times, so that one measurement lasts long
// enough to be more than scheduler noise.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_image.h"
#include "engine/clock.h"
#include "engine/protocol.h"
#include "images/image_file.h"
#include "sim/sim_bus.h"
#include "sim/sim_transport.h"
#include "sim/virtual_handset.h"

namespace {

using namespace varnel;

constexpr int kPorts = 8;
constexpr int kRuns = 3;
constexpr uint32_t kRoundTripMicros = 250;
constexpr int kPlainRepeats = 8;

// One port's job, `repeats` times: the whole image into RAM, then one flash write.
bool RunPort(SimBus& bus, const std::string& path, const BenchImage& image, int port, int repeats) {
    SimTransport transport(bus);
    DiscardingSink sink;
    if (transport.Open(GUID_BOOTLOADER_INTERFACE, path.c_str()) != 1) {
        return false;
    }
    bool ok = true;
    for (int repeat = 0; ok && repeat < repeats; ++repeat) {
        ImageFile file;
        int errorSource = 0;
        ok = file.Open(image.Path()) &&
             DownloadToRam(transport, port, sink, file, 0, image.Size(), 0, 1, errorSource) == 0 &&
             WriteFlash(transport, kCmdWritePdaPiece, 0, static_cast<uint32_t>(image.Size()), 0,
                        sink, port) == 0;
    }
    transport.Close();
    return ok;
}

// Wall-clock and process CPU seconds of one run; negative wall seconds when a port failed or
// flashed other bytes than the image holds. The CPU time tells a busy machine (little CPU to
// be had) from a slow simulator.
struct RunTime {
    double wall = -1.0;
    double cpu = 0.0;
};

RunTime RunPorts(int ports, const BenchImage& image, const HandsetTiming& timing, int repeats) {
    SystemClock clock;
    SimBus bus(clock);
    std::vector<std::shared_ptr<VirtualHandset>> handsets;
    std::vector<std::string> paths;
    for (int port = 0; port < ports; ++port) {
        HandsetConfig config;
        config.instance = "BENCH" + std::to_string(port);
        config.recordMode = RecordMode::kDigest;
        config.timing = timing;
        handsets.push_back(std::make_shared<VirtualHandset>(config));
        paths.push_back(bus.Plug(handsets.back()));
    }
    std::atomic<int> failures{0};
    std::latch ready(ports + 1);
    std::vector<std::thread> workers;
    for (int port = 0; port < ports; ++port) {
        workers.emplace_back([&, port] {
            ready.arrive_and_wait();
            if (!RunPort(bus, paths[port], image, port, repeats)) {
                ++failures;
            }
        });
    }
    ready.arrive_and_wait();
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    for (std::thread& worker : workers) {
        worker.join();
    }
    RunTime time;
    time.cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    time.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const auto& handset : handsets) {
        const std::vector<FlashRecord> flashed = handset->Flashed();
        if (flashed.size() != static_cast<size_t>(repeats)) {
            ++failures;
        }
        for (const FlashRecord& record : flashed) {
            if (record.length != image.Size() || record.digest != image.Digest()) {
                ++failures;
            }
        }
    }
    if (failures != 0) {
        time.wall = -1.0;
    }
    return time;
}

RunTime BestRun(int ports, const BenchImage& image, const HandsetTiming& timing, int repeats) {
    RunTime best;
    for (int run = 0; run < kRuns; ++run) {
        const RunTime time = RunPorts(ports, image, timing, repeats);
        if (time.wall < 0) {
            return time;
        }
        if (best.wall < 0 || time.wall < best.wall) {
            best = time;
        }
    }
    return best;
}

bool Report(const char* title, uint64_t mebibytes, const HandsetTiming& timing, int repeats) {
    const BenchImage image(mebibytes << 20, "download-bench");
    if (!image.Ok()) {
        std::printf("cannot write the image file %s\n", image.Path().c_str());
        return false;
    }
    const RunTime one = BestRun(1, image, timing, repeats);
    const RunTime eight = BestRun(kPorts, image, timing, repeats);
    if (one.wall < 0 || eight.wall < 0) {
        std::printf("%s: a port failed or flashed the wrong bytes\n", title);
        return false;
    }
    const double megabytes = static_cast<double>(image.Size()) * repeats / 1e6;
    const double single = megabytes / one.wall;
    const double aggregate = kPorts * megabytes / eight.wall;
    std::printf("%s, %d x %llu MiB per port (best of %d runs):\n", title, repeats,
                static_cast<unsigned long long>(mebibytes), kRuns);
    std::printf("  1 port : %9.1f MB/s                          (%.2f CPUs busy)\n", single,
                one.cpu / one.wall);
    std::printf("  8 ports: %9.1f MB/s aggregate, %7.1f MB/s per port (%.2f CPUs busy)\n",
                aggregate, aggregate / kPorts, eight.cpu / eight.wall);
    std::printf("  8-port aggregate / (8 x one port): %.3f\n", aggregate / (kPorts * single));
    return true;
}

uint64_t Argument(int argc, char** argv, int index, uint64_t fallback) {
    if (argc <= index) {
        return fallback;
    }
    const long long value = std::atoll(argv[index]);
    return value > 0 ? static_cast<uint64_t>(value) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t plainMiB = Argument(argc, argv, 1, 64);
    const uint64_t roundTripMiB = Argument(argc, argv, 2, 2);
    std::printf("DownloadToRam + WriteFlash through the in-process simulator (digest mode)\n");
    std::printf("hardware threads: %u; MB = 10^6 bytes\n\n", std::thread::hardware_concurrency());
    bool ok = Report("no device delay", plainMiB, {}, kPlainRepeats);
    std::printf("\n");
    HandsetTiming roundTrip;
    roundTrip.roundTripMicros = kRoundTripMicros;
    ok = Report("250 us round trip per reply", roundTripMiB, roundTrip, 1) && ok;
    return ok ? 0 : 1;
}
