// Appending to the main log must cost the same at the 100,000th entry as at the first: the edit
// box is handed each new entry, never the whole log again.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include "bench/null_dialog_view.h"
#include "ui/morvane_dlg.h"

namespace {

using namespace varnel;
using Clock = std::chrono::steady_clock;

constexpr int kEntries = 100'000;
constexpr int kBlock = 1'000;
constexpr int kBlocks = kEntries / kBlock;
constexpr int kRuns = 5;
constexpr const char* kEntryFormat = "[PDA:%d] Writing image to flash %d%%\r\n";

using BlockTimes = std::vector<double>;  // ns per entry, per block of kBlock entries

// The best of each block over the runs, which keeps other work on the machine out of the figures.
void Print(const char* title, const std::vector<BlockTimes>& runs, size_t logSize,
           size_t editSize) {
    BlockTimes best(kBlocks, std::numeric_limits<double>::max());
    for (const BlockTimes& run : runs) {
        for (int block = 0; block < kBlocks; ++block) {
            best[block] = std::min(best[block], run[block]);
        }
    }
    std::printf("%s (best of %d runs of %d entries)\n", title, kRuns, kEntries);
    std::printf("  at the start, entries %d-%d: %6.1f ns per entry\n", 1, kBlock, best.front());
    std::printf("  at the end, entries %d-%d: %6.1f ns per entry\n", kEntries - kBlock + 1,
                kEntries, best.back());
    std::printf("  blocks starting at entries 1, 10001, ... 90001:");
    for (int block = 0; block < kBlocks; block += 10) {
        std::printf(" %.1f", best[block]);
    }
    std::printf("\n  log %zu bytes, edit box %zu bytes\n", logSize, editSize);
}

BlockTimes AppendAll(CMorvaneDlg& dlg) {
    BlockTimes times;
    for (int block = 0; block < kBlocks; ++block) {
        const auto start = Clock::now();
        for (int i = block * kBlock; i < (block + 1) * kBlock; ++i) {
            dlg.AppendMainLog(kEntryFormat, i % 8, i % 101);
        }
        times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                        kBlock);
    }
    return times;
}

// Appends from the window thread (each entry drawn at once) or from a worker thread (the window
// thread draws what arrived while the worker goes on).
void TimeRuns(const char* title, bool fromWorker) {
    std::vector<BlockTimes> runs;
    size_t logSize = 0;
    size_t editSize = 0;
    for (int run = 0; run < kRuns; ++run) {
        MessageLoop loop;
        bench::NullDialogView view;
        CMorvaneDlg dlg(view, loop, {});
        if (fromWorker) {
            std::thread worker([&] {
                runs.push_back(AppendAll(dlg));
                loop.Quit();
            });
            loop.Run();
            worker.join();
            loop.RunPending();
        } else {
            runs.push_back(AppendAll(dlg));
        }
        logSize = dlg.MainLog().size();
        editSize = view.EditSize();
    }
    Print(title, runs, logSize, editSize);
}

}  // namespace

int main() {
    TimeRuns("AppendMainLog on the window thread, drawn at once", false);
    TimeRuns("AppendMainLog on a worker thread, drawn by the window thread", true);
    return 0;
}
