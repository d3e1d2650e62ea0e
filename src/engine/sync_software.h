// The control of the PC's handset synchronisation software, as the window and the port workers
// see it. The window stops the software at start-up and on Detect and restarts it on close; a
// worker stops it again before each reconnect attempt after a boot-loader write.
#pragma once

namespace varnel {

// The two "program was terminated" flags of the process path, as the reattach saves them.
struct KilledFlags {
    int bMgrKilled = 0;
    int bCommKilled = 0;
};

// Every operation may be called from the window thread and from worker threads at the same time.
// None of them fails: failures are logged and the download goes on.
class SyncSoftware {
  public:
    virtual ~SyncSoftware() = default;

    virtual void StopSyncSoftware() = 0;
    virtual void RestartSyncSoftware() = 0;

    // The reattach loop: save before the loop, clear before each StopSyncSoftware so the process
    // walk looks at every process, restore after the loop.
    virtual KilledFlags SaveKilledFlags() = 0;
    virtual void ClearKilledFlags() = 0;
    virtual void RestoreKilledFlags(const KilledFlags& saved) = 0;
};

}  // namespace varnel
