// Choosing a single-partition Telvik image (".sst") sums the whole file before the choice
// completes. Times that choice through the window's SelectImageFile against `sum -s` of the same
// page-cached file, in one run, checks that both sums agree, and reports this process's peak
// memory (the image is built in a child process, so the peak is the window's and the choice's).
//
// usage: choose_telvik_bench [--repeat N] [--size MIB] [FILE.sst]
// Without FILE an image of --size MiB (default 1024) is built in $TMPDIR or /tmp.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/null_dialog_view.h"
#include "images/image_globals.h"
#include "sim/image_builder.h"
#include "ui/morvane_dlg.h"

extern char** environ;

namespace {

using namespace varnel;
using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

// Builds the image in a child process so that the builder's memory does not count in this
// process's peak. Returns the file's byte sum through a pipe.
bool BuildInChild(const std::string& path, uint64_t size, uint32_t& fileSum) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        ImageSpec spec;
        spec.format = ImageFormat::kSingleTelvik;
        spec.rawSize = size;
        ImageManifest manifest;
        std::string error;
        if (!BuildImage(path, spec, manifest, error)) {
            std::fprintf(stderr, "cannot build %s: %s\n", path.c_str(), error.c_str());
            _exit(1);
        }
        const bool sent = write(fds[1], &manifest.fileSum, sizeof manifest.fileSum) ==
                          static_cast<ssize_t>(sizeof manifest.fileSum);
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    const bool got = read(fds[0], &fileSum, sizeof fileSum) == static_cast<ssize_t>(sizeof fileSum);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct SumRun {
    double seconds = 0;
    unsigned sum16 = 0;
    long peakRssKiB = 0;
    bool ok = false;
};

// `sum -s FILE` as a child process, from spawn to reaped exit.
SumRun RunSumS(const std::string& path) {
    SumRun run;
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string program = "sum", option = "-s", file = path;
    char* argv[] = {program.data(), option.data(), file.data(), nullptr};
    const auto start = SteadyClock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "sum", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot run sum: %s\n", std::strerror(spawned));
        close(fds[0]);
        return run;
    }
    FILE* out = fdopen(fds[0], "r");
    const bool parsed = out != nullptr && std::fscanf(out, "%u", &run.sum16) == 1;
    if (out != nullptr) {
        std::fclose(out);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = SecondsSince(start);
    run.peakRssKiB = usage.ru_maxrss;
    run.ok = parsed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// The SysV sum of `sum -s` is the same 32-bit byte sum folded to 16 bits.
unsigned FoldTo16(uint32_t sum) {
    const uint32_t folded = (sum & 0xFFFF) + (sum >> 16);
    return (folded & 0xFFFF) + (folded >> 16);
}

double Best(std::vector<double> seconds) {
    return *std::min_element(seconds.begin(), seconds.end());
}

double Median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    const size_t n = seconds.size();
    return n % 2 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
}

void PrintTimes(const char* name, const std::vector<double>& seconds, uint64_t size) {
    std::printf("%-28s best %7.3f s (%5.2f GB/s)  median %7.3f s (%5.2f GB/s)\n", name,
                Best(seconds), size / Best(seconds) / 1e9, Median(seconds),
                size / Median(seconds) / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int repeat = 3;
    uint64_t sizeMiB = 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--size" && i + 1 < argc) {
            sizeMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr,
                         "usage: choose_telvik_bench [--repeat N] [--size MIB] [FILE.sst]\n");
            return 2;
        }
    }

    std::optional<uint32_t> builtSum;
    const bool scratch = path.empty();
    if (scratch) {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/varnel-choose-bench-" +
               std::to_string(getpid()) + ".sst";
        std::printf("building a %" PRIu64 " MiB single-partition Telvik image %s\n", sizeMiB,
                    path.c_str());
        std::fflush(stdout);
        uint32_t sum = 0;
        if (!BuildInChild(path, sizeMiB << 20, sum)) {
            unlink(path.c_str());
            return 1;
        }
        builtSum = sum;
    }

    // Reads the file once, untimed, so that every timed run finds it in the page cache.
    int result = RunSumS(path).ok ? 0 : 1;

    MessageLoop loop;
    bench::NullDialogView view;
    view.SetChosenFile(path);
    CMorvaneDlg dlg(view, loop, {});
    dlg.InitDialogState();

    std::vector<double> chooseSeconds, sumSeconds;
    uint32_t chosenSum = 0;
    unsigned sum16 = 0;
    long sumPeakRssKiB = 0;
    for (int run = 0; run < repeat && result == 0; ++run) {
        for (int turn = 0; turn < 2 && result == 0; ++turn) {
            // Alternate who goes first so neither always runs on a warmer machine.
            if ((run + turn) % 2 == 0) {
                const auto start = SteadyClock::now();
                const int chosen = dlg.SelectImageFile(kSelectTelvik);
                chooseSeconds.push_back(SecondsSince(start));
                if (chosen != 0 || g_nTelvikType != kTelvikSingle) {
                    std::fprintf(stderr, "SelectImageFile gave %d, Telvik type %d\n%s", chosen,
                                 g_nTelvikType.load(), dlg.MainLog().c_str());
                    result = 1;
                }
                chosenSum = dlg.m_dwSingleTelvikSum;
            } else {
                const SumRun sum = RunSumS(path);
                sumSeconds.push_back(sum.seconds);
                sum16 = sum.sum16;
                sumPeakRssKiB = std::max(sumPeakRssKiB, sum.peakRssKiB);
                result = sum.ok ? result : 1;
            }
        }
    }

    if (result == 0) {
        const uint64_t size = dlg.Span(kKindTelvik).dwSize;
        std::printf("file %s: %" PRIu64 " bytes, page-cached; %d runs each, alternating\n",
                    path.c_str(), size, repeat);
        PrintTimes("choose (SelectImageFile)", chooseSeconds, size);
        PrintTimes("sum -s (child process)", sumSeconds, size);
        std::printf("speed: choose / sum -s = %.2fx (best), %.2fx (median); goal >= 1\n",
                    Best(sumSeconds) / Best(chooseSeconds),
                    Median(sumSeconds) / Median(chooseSeconds));
        const bool agree = FoldTo16(chosenSum) == sum16 && (!builtSum || *builtSum == chosenSum);
        std::printf("sums: choose 0x%08X (folded %u), sum -s %u", chosenSum, FoldTo16(chosenSum),
                    sum16);
        if (builtSum) {
            std::printf(", image builder 0x%08X", *builtSum);
        }
        std::printf(": %s\n", agree ? "agree" : "DISAGREE");
        std::printf(
            "memory: peak RSS of this process %.1f MiB (file %.0f MiB); of sum -s %.1f MiB\n",
            PeakRssKiB() / 1024.0, size / 1048576.0, sumPeakRssKiB / 1024.0);
        result = agree ? 0 : 1;
    }
    if (scratch) {
        unlink(path.c_str());
    }
    return result;
}
