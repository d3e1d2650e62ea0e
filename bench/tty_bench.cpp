// Speed of a RAM download plus flash write through the real tty transport, against handsets that
// varnel-sim serves on ptys in a child process: one port alone, then eight ports at once, in the
// same run. The host's CPU time (this process only; the handsets run in the child) is given per
// MB and per 2032-byte chunk: the transport's own overhead on the host.
//
// Usage: tty_bench [MiB per port]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_image.h"
#include "engine/protocol.h"
#include "images/image_file.h"
#include "platform/linux/tty_interface.h"

extern char** environ;

namespace {

using namespace varnel;

constexpr int kPorts = 8;
constexpr int kRuns = 3;

std::filesystem::path TempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("varnel-tty-bench-" + std::to_string(::getpid()) + "-" + name);
}

// varnel-sim with `ports` handsets, for one run.
class Simulator {
  public:
    Simulator(int ports, const std::string& folder, const std::string& dump) {
        std::vector<std::string> words = {VARNEL_SIM_PROGRAM,    "--dir",  folder, "--handsets",
                                          std::to_string(ports), "--dump", dump};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && ListTtyEntries(folder).size() < static_cast<size_t>(ports) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~Simulator() { Stop(); }

    // Ends it (its dump is then written); false when it did not exit cleanly.
    bool Stop() {
        if (pid_ <= 0) {
            return false;
        }
        ::kill(pid_, SIGTERM);
        int status = 0;
        rusage usage{};
        const bool ended = ::wait4(pid_, &status, 0, &usage) == pid_;
        cpuSeconds_ = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
        pid_ = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    double CpuSeconds() const { return cpuSeconds_; }
    static double Seconds(const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; }

  private:
    pid_t pid_ = -1;
    double cpuSeconds_ = 0;
};

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return Simulator::Seconds(usage.ru_utime) + Simulator::Seconds(usage.ru_stime);
}

// One port's job through its own tty transport: the whole image into RAM, then one flash write.
bool RunPort(const std::string& folder, const BenchImage& image, int port) {
    CTtyInterface transport(folder);
    DiscardingSink sink;
    if (transport.Open(GUID_BOOTLOADER_INTERFACE) != 1) {
        return false;
    }
    uint8_t reply[kReplySize] = {};
    transport.SetIoTimeout(5000);
    ImageFile file;
    int errorSource = 0;
    const bool ok =
        transport.Write(kHandshakeRequest, kReplySize) == kReplySize &&
        transport.ReadWait(reply, kReplySize) == kReplySize && file.Open(image.Path()) &&
        DownloadToRam(transport, port, sink, file, 0, image.Size(), 0, 1, errorSource) == 0 &&
        WriteFlash(transport, kCmdWritePdaPiece, 0, static_cast<uint32_t>(image.Size()), 0, sink,
                   port) == 0;
    transport.Close();
    return ok;
}

struct RunTime {
    double wall = -1.0;    // negative: a port failed or flashed other bytes
    double hostCpu = 0.0;  // this process
    double simCpu = 0.0;   // varnel-sim
};

RunTime RunPorts(int ports, const BenchImage& image) {
    const std::string folder = TempPath("dev").string();
    const std::string dump = TempPath("dump").string();
    std::filesystem::remove_all(folder);
    Simulator sim(ports, folder, dump);
    std::atomic<int> failures{0};
    std::latch ready(ports + 1);
    std::vector<std::thread> workers;
    for (int port = 0; port < ports; ++port) {
        workers.emplace_back([&, port] {
            ready.arrive_and_wait();
            if (!RunPort(folder, image, port)) {
                ++failures;
            }
        });
    }
    ready.arrive_and_wait();
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    for (std::thread& worker : workers) {
        worker.join();
    }
    RunTime time;
    time.hostCpu = ProcessCpuSeconds() - cpuStart;
    time.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!sim.Stop()) {
        ++failures;
    }
    time.simCpu = sim.CpuSeconds();
    std::ifstream in(dump + "/manifest.json");
    const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx",
                  static_cast<unsigned long long>(image.Digest()));
    if (!manifest.is_array() || manifest.size() != static_cast<size_t>(ports)) {
        ++failures;
    } else {
        for (const auto& handset : manifest) {
            const auto& flashed = handset["flashed"];
            if (flashed.size() != 1 || flashed[0]["length"] != image.Size() ||
                flashed[0]["digest"] != digest) {
                ++failures;
            }
        }
    }
    std::filesystem::remove_all(folder);
    std::filesystem::remove_all(dump);
    if (failures != 0) {
        time.wall = -1.0;
    }
    return time;
}

RunTime BestRun(int ports, const BenchImage& image) {
    RunTime best;
    for (int run = 0; run < kRuns; ++run) {
        const RunTime time = RunPorts(ports, image);
        if (time.wall < 0) {
            return time;
        }
        if (best.wall < 0 || time.wall < best.wall) {
            best = time;
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const long long requested = argc > 1 ? std::atoll(argv[1]) : 0;
    const uint64_t mebibytes = requested > 0 ? static_cast<uint64_t>(requested) : 16;
    const BenchImage image(mebibytes << 20, "tty-bench-" + std::to_string(::getpid()));
    if (!image.Ok()) {
        std::fprintf(stderr, "cannot write the image file %s\n", image.Path().c_str());
        return 1;
    }
    const RunTime one = BestRun(1, image);
    const RunTime eight = BestRun(kPorts, image);
    std::printf("\nRAM download + flash write through the tty transport, varnel-sim on ptys\n");
    std::printf("hardware threads: %u; %llu MiB per port; best of %d runs; MB = 10^6 bytes\n",
                std::thread::hardware_concurrency(), static_cast<unsigned long long>(mebibytes),
                kRuns);
    if (one.wall < 0 || eight.wall < 0) {
        std::printf("a port failed or flashed the wrong bytes\n");
        return 1;
    }
    const double megabytes = static_cast<double>(image.Size()) / 1e6;
    const double chunks = static_cast<double>((image.Size() + kChunkDataSize - 1) / kChunkDataSize);
    const double single = megabytes / one.wall;
    const double aggregate = kPorts * megabytes / eight.wall;
    std::printf("  1 port : %8.1f MB/s\n", single);
    std::printf("  8 ports: %8.1f MB/s aggregate, %6.1f MB/s per port\n", aggregate,
                aggregate / kPorts);
    std::printf("  8-port aggregate / (8 x one port): %.3f\n", aggregate / (kPorts * single));
    std::printf(
        "  host CPU: %.2f ms per MB, %.1f us per chunk (1 port); "
        "%.2f ms per MB, %.1f us per chunk (8 ports)\n",
        1000 * one.hostCpu / megabytes, 1e6 * one.hostCpu / chunks,
        1000 * eight.hostCpu / (kPorts * megabytes), 1e6 * eight.hostCpu / (kPorts * chunks));
    std::printf("  varnel-sim CPU: %.2f ms per MB (1 port), %.2f ms per MB (8 ports)\n",
                1000 * one.simCpu / megabytes, 1000 * eight.simCpu / (kPorts * megabytes));
    return 0;
}
