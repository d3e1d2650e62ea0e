#include "app/sync_software_control.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace varnel {

std::atomic<int> g_bMgrKilled{0};
std::atomic<int> g_bCommKilled{0};
SharedText g_szMgrExe;
SharedText g_szCommExe;

std::string SharedText::Get() const {
    std::lock_guard lock(m_mutex);
    return m_text;
}

void SharedText::Set(std::string text) {
    std::lock_guard lock(m_mutex);
    m_text = std::move(text);
}

namespace {

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool ContainsProgram(const std::string& upperName, const std::string& program) {
    return !program.empty() && upperName.find(program) != std::string::npos;
}

// The log lines print codes and status words with %d, as signed numbers.
int AsInt(uint32_t value) {
    return static_cast<int>(value);
}

}  // namespace

SyncSoftwareControl::SyncSoftwareControl(SyncSoftwareHost& host, MainLogSink& mainLog,
                                         DebugOutput& debug, Clock& clock, SyncSoftwareNames names)
    : m_host(host), m_mainLog(mainLog), m_debug(debug), m_clock(clock), m_names(std::move(names)) {}

void SyncSoftwareControl::StopSyncSoftware() {
    if (m_bVistaOrLater) {
        StopSyncServices();
    } else {
        StopSyncPrograms();
    }
}

void SyncSoftwareControl::RestartSyncSoftware() {
    if (m_bVistaOrLater) {
        RestartSyncServices();
    } else {
        RestartSyncPrograms();
    }
}

KilledFlags SyncSoftwareControl::SaveKilledFlags() {
    return KilledFlags{g_bMgrKilled.load(), g_bCommKilled.load()};
}

void SyncSoftwareControl::ClearKilledFlags() {
    g_bMgrKilled = 0;
    g_bCommKilled = 0;
}

void SyncSoftwareControl::RestoreKilledFlags(const KilledFlags& saved) {
    g_bMgrKilled = saved.bMgrKilled;
    g_bCommKilled = saved.bCommKilled;
}

void SyncSoftwareControl::StopSyncServices() {
    // The net command works on its own and may have stopped the service before DoStopSvc looks,
    // so this tool counts as having stopped it when it was running before and is not after.
    const bool wasActive = IsServiceActive(m_names.strMainService);
    m_host.RunNetCommand("stop " + m_names.strNetService);
    g_bMgrKilled = 1;
    g_bCommKilled = 1;
    DoStopSvc();
    if (wasActive && !IsServiceActive(m_names.strMainService)) {
        RecordStopped(m_names.strMainService);
    }
}

void SyncSoftwareControl::StopSyncPrograms() {
    std::vector<ProcessEntry> processes;
    if (!m_host.SnapshotProcesses(processes)) {
        return;
    }
    for (const ProcessEntry& process : processes) {
        const std::string upperName = UpperCase(process.strExeFile);
        std::atomic<int>* killed = nullptr;
        SharedText* exeName = nullptr;
        const std::string* program = nullptr;
        bool* toRestart = nullptr;
        if (ContainsProgram(upperName, m_names.strMgrProgram)) {
            killed = &g_bMgrKilled;
            exeName = &g_szMgrExe;
            program = &m_names.strMgrProgram;
            toRestart = &m_bMgrToRestart;
        } else if (ContainsProgram(upperName, m_names.strCommProgram)) {
            killed = &g_bCommKilled;
            exeName = &g_szCommExe;
            program = &m_names.strCommProgram;
            toRestart = &m_bCommToRestart;
        }
        if (killed != nullptr) {
            m_debug.OutputDebugString(FormatEntry("%s to kill\r\n", program->c_str()));
            // Recorded only when terminated: the restart starts only what this tool stopped.
            if (m_host.TerminateProcess(process)) {
                exeName->Set(process.strExeFile.substr(0, kMaxExeNameLength));
                *killed = 1;
                RecordKilled(*toRestart);
                m_debug.OutputDebugString("kill OK\r\n");
            }
        }
        if (g_bMgrKilled && g_bCommKilled) {
            break;
        }
    }
}

void SyncSoftwareControl::RestartSyncServices() {
    std::set<std::string> stopped;
    {
        std::lock_guard lock(m_recordMutex);
        stopped.swap(m_stoppedServices);
    }
    ClearKilledFlags();
    const bool mainStopped = stopped.count(m_names.strMainService) != 0;
    if (mainStopped) {
        m_host.RunNetCommand("start " + m_names.strNetService);
    }
    if (!m_names.strCompanionService.empty() && stopped.count(m_names.strCompanionService) != 0) {
        DoStartSvc(SyncService::kCompanionService);
    }
    if (mainStopped) {
        DoStartSvc(SyncService::kMainService);
    }
}

void SyncSoftwareControl::RestartSyncPrograms() {
    bool restartMgr = false;
    bool restartComm = false;
    {
        std::lock_guard lock(m_recordMutex);
        std::swap(restartMgr, m_bMgrToRestart);
        std::swap(restartComm, m_bCommToRestart);
    }
    // Started again, nothing stands terminated: the next walk looks at every process.
    ClearKilledFlags();
    std::string directory;
    bool haveDirectory = false;
    switch (m_host.ReadInstalledDir(directory)) {
        case InstallDirRead::kRead:
            haveDirectory = true;
            break;
        case InstallDirRead::kKeyFailed:
            m_debug.OutputDebugString("FAILED Create Registry\r\n");
            break;
        case InstallDirRead::kValueFailed:
            m_debug.OutputDebugString("FAILED get InstalledDir\r\n");
            break;
    }
    if (restartMgr) {
        RestartProgram(g_szMgrExe, directory, haveDirectory, "FAILED Create Process1\r\n");
    }
    if (restartComm) {
        RestartProgram(g_szCommExe, directory, haveDirectory, "FAILED Create Process2\r\n");
    }
}

void SyncSoftwareControl::RestartProgram(const SharedText& exeName, const std::string& directory,
                                         bool haveDirectory, const char* failureLine) {
    const std::string name = exeName.Get();
    // Without the install directory there is no program to start, only a guess at one.
    if (!haveDirectory || name.empty() ||
        !m_host.StartProgram(directory + m_host.PathSeparator() + name)) {
        m_debug.OutputDebugString(failureLine);
    }
}

void SyncSoftwareControl::RecordKilled(bool& toRestart) {
    std::lock_guard lock(m_recordMutex);
    toRestart = true;
}

bool SyncSoftwareControl::IsServiceActive(const std::string& name) {
    // A service that cannot be asked counts as not active.
    uint32_t error = 0;
    const auto manager = m_host.OpenServiceManager(error);
    if (!manager) {
        return false;
    }
    const auto service = manager->OpenService(name, ServiceAccess::kStopQuery, error);
    ServiceStatus status;
    if (!service || service->QueryStatus(status) != 0) {
        return false;
    }
    return status.dwCurrentState != kServiceStopped && status.dwCurrentState != kServiceStopPending;
}

void SyncSoftwareControl::RecordStopped(const std::string& service) {
    std::lock_guard lock(m_recordMutex);
    m_stoppedServices.insert(service);
}

uint32_t SyncSoftwareControl::StopPause(uint32_t waitHint, uint64_t startTick) {
    // Never sleep far past the limit on a service's word: a pause ends just after it.
    const uint64_t elapsed = ElapsedSince(startTick);
    const uint64_t untilPastLimit = elapsed > kStopLimitMs ? 1 : kStopLimitMs - elapsed + 1;
    const uint64_t pause = std::min<uint64_t>(waitHint, untilPastLimit);
    return static_cast<uint32_t>(std::max<uint64_t>(pause, kMinimumStopPauseMs));
}

void SyncSoftwareControl::DoStopSvc() {
    const uint64_t startTick = m_clock.TickCount();
    uint32_t error = 0;
    const auto manager = m_host.OpenServiceManager(error);
    if (!manager) {
        m_mainLog.AppendMainLog("OpenSCManager failed (%d)\r\n", AsInt(error));
        return;
    }
    const auto service =
        manager->OpenService(m_names.strMainService, ServiceAccess::kStopQueryEnumerate, error);
    if (!service) {
        m_mainLog.AppendMainLog("OpenService failed (%d)\r\n", AsInt(error));
        return;
    }
    ServiceStatus status;
    const auto query = [&] {
        error = service->QueryStatus(status);
        if (error != 0) {
            m_mainLog.AppendMainLog("QueryServiceStatusEx failed (%d)\r\n", AsInt(error));
        }
        return error == 0;
    };
    if (!query()) {
        return;
    }
    if (status.dwCurrentState == kServiceStopped) {
        m_mainLog.AppendMainLog(
            "Service is already stopped. So I will NOT Re-start the service...\r\n");
        return;
    }
    while (status.dwCurrentState == kServiceStopPending) {
        m_mainLog.AppendMainLog("Service stop pending...\r\n");
        m_clock.Sleep(StopPause(status.dwWaitHint, startTick));
        if (!query()) {
            return;
        }
        if (status.dwCurrentState == kServiceStopped) {
            m_mainLog.AppendMainLog("Service stopped successfully.\r\n");
            return;
        }
        if (ElapsedSince(startTick) > kStopLimitMs) {
            m_mainLog.AppendMainLog("Service stop timed out.\r\n");
            return;
        }
    }
    StopDependentServices(*manager, *service);
    error = service->ControlStop(status);
    if (error != 0) {
        m_mainLog.AppendMainLog("ControlService failed (%d)\r\n", AsInt(error));
        return;
    }
    while (status.dwCurrentState != kServiceStopped) {
        m_clock.Sleep(StopPause(status.dwWaitHint, startTick));
        if (!query()) {
            return;
        }
        if (status.dwCurrentState == kServiceStopped) {
            break;
        }
        if (ElapsedSince(startTick) > kStopLimitMs) {
            m_mainLog.AppendMainLog("Wait timed out\r\n");
            return;
        }
    }
    m_mainLog.AppendMainLog("Service stopped successfully\r\n");
}

bool SyncSoftwareControl::StopDependentServices(ServiceManager& manager, ServiceHandle& service) {
    const uint64_t startTick = m_clock.TickCount();
    std::vector<std::string> dependents;
    if (service.EnumerateActiveDependents(dependents) != 0) {
        return false;
    }
    for (const std::string& name : dependents) {
        uint32_t error = 0;
        const auto dependent = manager.OpenService(name, ServiceAccess::kStopQuery, error);
        if (!dependent) {
            return false;
        }
        ServiceStatus status;
        if (dependent->ControlStop(status) != 0) {
            return false;
        }
        RecordStopped(name);
        while (status.dwCurrentState != kServiceStopped) {
            m_clock.Sleep(StopPause(status.dwWaitHint, startTick));
            if (dependent->QueryStatus(status) != 0) {
                return false;
            }
            if (status.dwCurrentState == kServiceStopped) {
                break;
            }
            if (ElapsedSince(startTick) > kStopLimitMs) {
                return false;
            }
        }
    }
    return true;
}

void SyncSoftwareControl::DoStartSvc(SyncService which) {
    m_mainLog.AppendMainLog("+++DoStartSvc\r\n");
    uint32_t error = 0;
    const auto manager = m_host.OpenServiceManager(error);
    if (!manager) {
        m_mainLog.AppendMainLog("OpenSCManager failed (%d)\r\n", AsInt(error));
        return;
    }
    const std::string& name = which == SyncService::kCompanionService ? m_names.strCompanionService
                                                                      : m_names.strMainService;
    const auto service = manager->OpenService(name, ServiceAccess::kAll, error);
    if (!service) {
        m_mainLog.AppendMainLog("OpenService failed (%d)\r\n", AsInt(error));
        return;
    }
    error = service->Start();
    if (error != 0) {
        m_mainLog.AppendMainLog("StartService failed (%d)\r\n", AsInt(error));
        return;
    }
    ServiceStatus status;
    if (service->QueryStatus(status) != 0) {
        return;
    }
    uint64_t progressTick = m_clock.TickCount();
    uint32_t checkPoint = status.dwCheckPoint;
    while (status.dwCurrentState == kServiceStartPending) {
        m_clock.Sleep(
            std::clamp(status.dwWaitHint / 10, kMinimumStartPauseMs, kMaximumStartPauseMs));
        if (service->QueryStatus(status) != 0) {
            break;
        }
        if (status.dwCheckPoint > checkPoint) {
            progressTick = m_clock.TickCount();
            checkPoint = status.dwCheckPoint;
        } else if (ElapsedSince(progressTick) > status.dwWaitHint) {
            break;
        }
    }
    if (status.dwCurrentState == kServiceRunning) {
        m_mainLog.AppendMainLog("Service started successfully.\r\n");
        return;
    }
    m_mainLog.AppendMainLog("Service not started. \r\n");
    m_mainLog.AppendMainLog("  Current State: %d\r\n", AsInt(status.dwCurrentState));
    m_mainLog.AppendMainLog("  Exit Code: %d\r\n", AsInt(status.dwWin32ExitCode));
    m_mainLog.AppendMainLog("  Check Point: %d\r\n", AsInt(status.dwCheckPoint));
    m_mainLog.AppendMainLog("  Wait Hint: %d\r\n", AsInt(status.dwWaitHint));
}

}  // namespace varnel
