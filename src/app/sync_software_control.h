// Stops the PC's handset synchronisation software while the tool works and starts it again
// afterwards. Two paths, chosen by the OS decision: services (Vista and later; systemd units on
// Linux) or programs (XP; processes on Linux). Only what this tool stopped is started again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "engine/clock.h"
#include "engine/log_sink.h"
#include "engine/sync_software.h"
#include "engine/sync_software_host.h"

namespace varnel {

// A text shared between threads.
class SharedText {
  public:
    std::string Get() const;
    void Set(std::string text);

  private:
    mutable std::mutex m_mutex;
    std::string m_text;
};

// Process-wide values of the process path: whether each program was terminated (the walk ends
// once both are; the reattach saves, clears and restores them) and its executable name as the
// process table reported it. A restart sets both flags back to 0.
extern std::atomic<int> g_bMgrKilled;
extern std::atomic<int> g_bCommKilled;
extern SharedText g_szMgrExe;
extern SharedText g_szCommExe;

enum class SyncService { kCompanionService = 1, kMainService = 2 };

class SyncSoftwareControl final : public SyncSoftware {
  public:
    static constexpr uint64_t kStopLimitMs = 30000;
    // A service announcing no wait hint is not polled in a busy loop.
    static constexpr uint32_t kMinimumStopPauseMs = 100;
    static constexpr uint32_t kMinimumStartPauseMs = 1000;
    static constexpr uint32_t kMaximumStartPauseMs = 10000;
    // A process list name has at most this many characters.
    static constexpr size_t kMaxExeNameLength = 259;

    SyncSoftwareControl(SyncSoftwareHost& host, MainLogSink& mainLog, DebugOutput& debug,
                        Clock& clock, SyncSoftwareNames names = {});

    // Chooses the path; the OS decision calls it once.
    void SetVistaOrLater(int bVistaOrLater) { m_bVistaOrLater = bVistaOrLater; }

    void StopSyncSoftware() override;
    void RestartSyncSoftware() override;
    // Starts again whatever this tool stopped and has not started yet, services and programs
    // alike; every way out of a program calls it. Does nothing when nothing is stopped.
    void RestoreStopped();
    // At start: takes over what the host's stop record names (a run that died before it could
    // restore) and starts it again.
    void RestoreStopRecord();
    KilledFlags SaveKilledFlags() override;
    void ClearKilledFlags() override;
    void RestoreKilledFlags(const KilledFlags& saved) override;

    // Stops the main service and its active dependents.
    void DoStopSvc();
    void DoStartSvc(SyncService which);
    // Stops the active dependents of an open service; true when all of them stopped in time.
    bool StopDependentServices(ServiceManager& manager, ServiceHandle& service);

  private:
    void StopSyncServices();
    void StopSyncPrograms();
    void RestartSyncServices();
    void RestartSyncPrograms();
    // Whether the service is anything but stopped or stopping, asked without logging.
    bool IsServiceActive(const std::string& name);
    struct StoppedProgram {
        bool bStopped = false;
        ProcessEntry process;  // as the walk saw it, for starting it the same way
    };
    void RestartProgram(const StoppedProgram& program, const std::string& directory,
                        bool haveDirectory, const char* failureLine);
    uint32_t StopPause(uint32_t waitHint, uint64_t startTick);
    uint64_t ElapsedSince(uint64_t startTick) { return m_clock.TickCount() - startTick; }
    void RecordStopped(const std::string& service);
    void RecordKilled(StoppedProgram& stopped, const ProcessEntry& process);
    // Writes what is stopped now to the host's stop record; the caller holds m_recordMutex.
    void SaveStopRecordLocked();
    // Takes over the entries of a stop record that name what this tool may have stopped.
    void AdoptStopRecord(const std::string& text);

    SyncSoftwareHost& m_host;
    MainLogSink& m_mainLog;
    DebugOutput& m_debug;
    Clock& m_clock;
    const SyncSoftwareNames m_names;
    std::atomic<int> m_bVistaOrLater{0};

    // What this tool stopped and has not started again. Kept apart from the flags, which the
    // reattach of several workers at once clears and restores.
    std::mutex m_recordMutex;
    std::set<std::string> m_stoppedServices;
    StoppedProgram m_mgrStopped;
    StoppedProgram m_commStopped;
};

// The sync software, stopped only when `leftRunningReason` gives no reason to leave it running.
// The reason is written to the main log once each time it starts to hold.
class SyncSoftwareUnlessKeptOff final : public SyncSoftware {
  public:
    using LeftRunningReason = std::function<std::optional<std::string>()>;

    SyncSoftwareUnlessKeptOff(SyncSoftware& inner, MainLogSink& mainLog,
                              LeftRunningReason leftRunningReason)
        : m_inner(inner), m_mainLog(mainLog), m_leftRunningReason(std::move(leftRunningReason)) {}

    void StopSyncSoftware() override;
    void RestartSyncSoftware() override { m_inner.RestartSyncSoftware(); }
    KilledFlags SaveKilledFlags() override { return m_inner.SaveKilledFlags(); }
    void ClearKilledFlags() override { m_inner.ClearKilledFlags(); }
    void RestoreKilledFlags(const KilledFlags& saved) override {
        m_inner.RestoreKilledFlags(saved);
    }

  private:
    SyncSoftware& m_inner;
    MainLogSink& m_mainLog;
    const LeftRunningReason m_leftRunningReason;
    std::atomic<bool> m_bLeftRunningLogged{false};
};

}  // namespace varnel
