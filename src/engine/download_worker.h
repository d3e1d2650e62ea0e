// The port worker: one thread per attached port runs one download job on its handset, from the
// job plan to the launch, and reports every step to the window.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/download_job.h"
#include "images/image_layouts.h"

namespace varnel {

class Clock;
class MainLogSink;
class StatusSink;
class SyncSoftware;

// Largest amount sent to RAM before one flash write of a PDA, Telvik or Contents image.
inline constexpr uint64_t kFlashPieceSize = 0x9EC0000;
inline constexpr uint32_t kBootloaderVersionThreshold = 0x20090206;
inline constexpr int kReconnectAttempts = 20;
inline constexpr int kLaunchBarrierPolls = 60;
inline constexpr uint32_t kBootWaitMs = 480000;

struct WorkerServices {
    StatusSink* window = nullptr;
    MainLogSink* log = nullptr;
    Clock* clock = nullptr;
    SyncSoftware* sync = nullptr;  // may be null: nothing to stop
    // Set when the window goes away: pauses end early and nothing new is started.
    const std::atomic<bool>* stopRequested = nullptr;
    // Tests cut pieces and SMD loads smaller than the real sizes.
    uint64_t pieceSize = kFlashPieceSize;
    uint32_t smdBlocksPerLoad = kSmdBlocksPerLoad;
};

// Runs the whole job of `param.nPort`; always returns 0, the outcome is told by status reports.
uint32_t DownloadWorker(PortThreadParam* param, const WorkerServices& services);

}  // namespace varnel
