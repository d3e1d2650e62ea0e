// Times `varnel-bytesum FILE` against `sum -s FILE` on the same page-cached file, whole process
// each, in one run; checks that both give the same sum and reports the checksum's peak memory.
//
// usage: bytesum_bench [--program PATH] [--repeat N] [--size MIB] [FILE]
// Without FILE a scratch file of --size MiB (default 1024) is made in $TMPDIR or /tmp.
#include <fcntl.h>
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
#include <memory>
#include <string>
#include <vector>

#ifndef VARNEL_BYTESUM_PROGRAM
#define VARNEL_BYTESUM_PROGRAM "varnel-bytesum"
#endif

namespace {

constexpr size_t kChunk = 1 << 20;

struct ChildRun {
    double seconds = 0;
    long peakRssKiB = 0;
    std::string output;
    bool ok = false;
};

// Runs argv[0] with its standard output captured; the wall time covers fork to reaped exit.
ChildRun RunChild(const std::vector<std::string>& args) {
    ChildRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::perror("pipe");
        return run;
    }
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        close(pipeFds[0]);
        close(pipeFds[1]);
        return run;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            run.output.append(buffer, static_cast<size_t>(got));
        }
    }
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakRssKiB = usage.ru_maxrss;  // KiB on Linux
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok) {
        std::fprintf(stderr, "%s failed (status 0x%x): %s\n", argv[0], status, run.output.c_str());
    }
    return run;
}

// Writes `bytes` of a pseudo-random pattern (every byte value occurs) and flushes it to disk,
// so that write-back does not run during the timed part.
bool MakeScratchFile(const std::string& path, uint64_t bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<uint64_t> words(kChunk / sizeof(uint64_t));
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint64_t left = bytes; left > 0;) {
        for (auto& word : words) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const size_t take = left < kChunk ? static_cast<size_t>(left) : kChunk;
        const auto* data = reinterpret_cast<const char*>(words.data());
        for (size_t done = 0; done < take;) {
            const ssize_t wrote = write(fd, data + done, take - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
                close(fd);
                return false;
            }
            done += static_cast<size_t>(wrote);
        }
        left -= take;
    }
    const bool synced = fdatasync(fd) == 0;
    return close(fd) == 0 && synced;
}

// Reads the file once so that the timed runs find it in the page cache; returns its size.
bool ReadWhole(const std::string& path, uint64_t& size) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const auto buffer = std::make_unique<char[]>(kChunk);
    size = 0;
    ssize_t got;
    while ((got = read(fd, buffer.get(), kChunk)) > 0 || (got < 0 && errno == EINTR)) {
        size += got > 0 ? static_cast<uint64_t>(got) : 0;
    }
    close(fd);
    return got == 0;
}

struct Series {
    std::vector<double> seconds;
    long peakRssKiB = 0;

    double Best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double Median() const {
        auto sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

// GNU sum's SysV mode folds the same 32-bit byte sum to 16 bits.
uint32_t FoldTo16(uint32_t sum) {
    uint32_t folded = (sum & 0xFFFF) + (sum >> 16);
    return (folded & 0xFFFF) + (folded >> 16);
}

void PrintSeries(const char* name, const Series& series, uint64_t size) {
    std::printf(
        "%-16s best %8.3f s  median %8.3f s  best %6.2f GB/s  median %6.2f GB/s  "
        "peak RSS %6.1f MiB\n",
        name, series.Best(), series.Median(), size / series.Best() / 1e9,
        size / series.Median() / 1e9, series.peakRssKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string program = VARNEL_BYTESUM_PROGRAM;
    std::string path;
    int repeat = 7;
    uint64_t sizeMiB = 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--program" && i + 1 < argc) {
            program = argv[++i];
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--size" && i + 1 < argc) {
            sizeMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
            path = arg;
        } else {
            std::fprintf(
                stderr, "usage: bytesum_bench [--program PATH] [--repeat N] [--size MIB] [FILE]\n");
            return 2;
        }
    }

    bool scratch = false;
    if (path.empty()) {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/varnel-bytesum-bench-" +
               std::to_string(getpid()) + ".bin";
        std::printf("writing %" PRIu64 " MiB scratch file %s\n", sizeMiB, path.c_str());
        std::fflush(stdout);
        scratch = true;
        if (!MakeScratchFile(path, sizeMiB << 20)) {
            unlink(path.c_str());
            return 1;
        }
    }

    int result = 0;
    uint64_t size = 0;
    if (!ReadWhole(path, size)) {
        result = 1;
    } else {
        std::printf("file %s: %" PRIu64 " bytes, page-cached; %d runs each, alternating\n",
                    path.c_str(), size, repeat);
        Series ours, reference;
        std::string ourAnswer, referenceAnswer;
        for (int run = 0; run < repeat && result == 0; ++run) {
            for (int turn = 0; turn < 2; ++turn) {
                // Alternate who goes first so neither always runs on a warmer machine.
                const bool oursNow = (run + turn) % 2 == 0;
                const ChildRun child =
                    oursNow ? RunChild({program, path}) : RunChild({"sum", "-s", path});
                if (!child.ok) {
                    result = 1;
                    break;
                }
                Series& series = oursNow ? ours : reference;
                series.seconds.push_back(child.seconds);
                series.peakRssKiB = std::max(series.peakRssKiB, child.peakRssKiB);
                (oursNow ? ourAnswer : referenceAnswer) = child.output;
            }
        }
        if (result == 0) {
            const uint32_t sum32 =
                static_cast<uint32_t>(std::strtoul(ourAnswer.c_str(), nullptr, 16));
            const auto sum16 =
                static_cast<uint32_t>(std::strtoul(referenceAnswer.c_str(), nullptr, 10));
            PrintSeries("varnel-bytesum", ours, size);
            PrintSeries("sum -s", reference, size);
            const bool agree = FoldTo16(sum32) == sum16;
            std::printf("answers: varnel-bytesum 0x%08X (folded %u), sum -s %u: %s\n", sum32,
                        FoldTo16(sum32), sum16, agree ? "agree" : "DISAGREE");
            std::printf(
                "speed: varnel-bytesum / sum -s = %.2fx (best), %.2fx (median); goal >= 1\n",
                reference.Best() / ours.Best(), reference.Median() / ours.Median());
            std::printf("memory: varnel-bytesum peak RSS %.1f MiB; goal < 16 MiB: %s\n",
                        ours.peakRssKiB / 1024.0, ours.peakRssKiB < 16 * 1024 ? "met" : "NOT met");
            if (!agree) {
                result = 1;
            }
        }
    }
    if (scratch) {
        unlink(path.c_str());
    }
    return result;
}
