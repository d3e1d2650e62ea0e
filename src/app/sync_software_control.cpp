#include "app/sync_software_control.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>
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

// The whole name, never a part of it: "XMODEMMANAGER" is not "MODEMMANAGER".
bool IsProgram(const std::string& upperName, const std::string& program) {
    return !program.empty() && upperName == program;
}

// The stop record: one entry a line, fields apart by tabs, each field with '%', tab and line
// ends written as %XX.
constexpr char kRecordService[] = "service";
constexpr char kRecordProgram[] = "program";
constexpr char kRecordMgr[] = "mgr";
constexpr char kRecordComm[] = "comm";
constexpr size_t kMaxRecordFields = 256;

std::string EscapeField(const std::string& field) {
    std::string escaped;
    for (const char c : field) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            escaped += FormatEntry("%%%02X", static_cast<unsigned char>(c));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// False when the field is not one EscapeField wrote.
bool UnescapeField(std::string_view field, std::string& text) {
    text.clear();
    for (size_t at = 0; at < field.size(); ++at) {
        if (field[at] != '%') {
            text += field[at];
            continue;
        }
        if (field.size() - at < 3) {
            return false;
        }
        const int high = HexDigit(field[at + 1]);
        const int low = HexDigit(field[at + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        text += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return true;
}

bool SplitRecordLine(std::string_view line, std::vector<std::string>& fields) {
    fields.clear();
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        std::string field;
        if (fields.size() == kMaxRecordFields ||
            !UnescapeField(line.substr(start, tab == std::string_view::npos ? tab : tab - start),
                           field)) {
            return false;
        }
        fields.push_back(std::move(field));
        if (tab == std::string_view::npos) {
            return true;
        }
        start = tab + 1;
    }
}

std::string FileName(const std::string& path, char separator) {
    const size_t last = path.rfind(separator);
    return last == std::string::npos ? path : path.substr(last + 1);
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

void SyncSoftwareControl::RestoreStopped() {
    bool services = false;
    bool programs = false;
    {
        std::lock_guard lock(m_recordMutex);
        services = !m_stoppedServices.empty();
        programs = m_mgrStopped.bStopped || m_commStopped.bStopped;
    }
    if (services) {
        RestartSyncServices();
    }
    if (programs) {
        RestartSyncPrograms();
    }
}

void SyncSoftwareControl::RestoreStopRecord() {
    std::string text;
    if (m_host.ReadStopRecord(text)) {
        AdoptStopRecord(text);
        RestoreStopped();
    }
}

void SyncSoftwareControl::AdoptStopRecord(const std::string& text) {
    std::lock_guard lock(m_recordMutex);
    std::vector<std::string> fields;
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        const std::string_view line(text.data() + lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (!SplitRecordLine(line, fields)) {
            continue;
        }
        if (fields.size() == 2 && fields[0] == kRecordService && !fields[1].empty()) {
            m_stoppedServices.insert(fields[1]);
            continue;
        }
        if (fields.size() < 4 || fields[0] != kRecordProgram) {
            continue;
        }
        // Only the programs this tool stops, by their own name, are ever started from a record.
        const bool mgr = fields[1] == kRecordMgr;
        const std::string& program = mgr ? m_names.strMgrProgram : m_names.strCommProgram;
        ProcessEntry process;
        process.strExeFile = fields[2];
        process.strExePath = fields[3];
        process.arguments.assign(fields.begin() + 4, fields.end());
        if ((!mgr && fields[1] != kRecordComm) ||
            !IsProgram(UpperCase(process.strExeFile), program) ||
            (!process.strExePath.empty() &&
             FileName(process.strExePath, m_host.PathSeparator()) != process.strExeFile)) {
            continue;
        }
        (mgr ? g_szMgrExe : g_szCommExe).Set(process.strExeFile.substr(0, kMaxExeNameLength));
        StoppedProgram& stopped = mgr ? m_mgrStopped : m_commStopped;
        stopped.bStopped = true;
        stopped.process = std::move(process);
    }
}

void SyncSoftwareControl::SaveStopRecordLocked() {
    std::string text;
    for (const std::string& service : m_stoppedServices) {
        text += std::string(kRecordService) + '\t' + EscapeField(service) + '\n';
    }
    for (const auto& [kind, stopped] :
         {std::pair{kRecordMgr, &m_mgrStopped}, std::pair{kRecordComm, &m_commStopped}}) {
        if (!stopped->bStopped) {
            continue;
        }
        const ProcessEntry& process = stopped->process;
        text += std::string(kRecordProgram) + '\t' + kind + '\t' + EscapeField(process.strExeFile) +
                '\t' + EscapeField(process.strExePath);
        for (const std::string& argument : process.arguments) {
            text += '\t' + EscapeField(argument);
        }
        text += '\n';
    }
    if (!m_host.WriteStopRecord(text)) {
        m_debug.OutputDebugString("FAILED write stop record\r\n");
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
        StoppedProgram* stopped = nullptr;
        if (IsProgram(upperName, m_names.strMgrProgram)) {
            killed = &g_bMgrKilled;
            exeName = &g_szMgrExe;
            program = &m_names.strMgrProgram;
            stopped = &m_mgrStopped;
        } else if (IsProgram(upperName, m_names.strCommProgram)) {
            killed = &g_bCommKilled;
            exeName = &g_szCommExe;
            program = &m_names.strCommProgram;
            stopped = &m_commStopped;
        }
        if (killed != nullptr) {
            m_debug.OutputDebugString(FormatEntry("%s to kill\r\n", program->c_str()));
            // Recorded only when terminated: the restart starts only what this tool stopped.
            if (m_host.TerminateProcess(process)) {
                exeName->Set(process.strExeFile.substr(0, kMaxExeNameLength));
                *killed = 1;
                RecordKilled(*stopped, process);
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
        SaveStopRecordLocked();
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
    StoppedProgram mgr;
    StoppedProgram comm;
    {
        std::lock_guard lock(m_recordMutex);
        std::swap(mgr, m_mgrStopped);
        std::swap(comm, m_commStopped);
        SaveStopRecordLocked();
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
    if (mgr.bStopped) {
        RestartProgram(mgr, directory, haveDirectory, "FAILED Create Process1\r\n");
    }
    if (comm.bStopped) {
        RestartProgram(comm, directory, haveDirectory, "FAILED Create Process2\r\n");
    }
}

void SyncSoftwareControl::RestartProgram(const StoppedProgram& program,
                                         const std::string& directory, bool haveDirectory,
                                         const char* failureLine) {
    const ProcessEntry& process = program.process;
    const std::string name = process.strExeFile.substr(0, kMaxExeNameLength);
    // Started again the way it was started when the host could tell; otherwise from the install
    // directory, and without that there is no program to start, only a guess at one.
    bool started = false;
    if (!process.strExePath.empty()) {
        started = m_host.StartProgram(process.strExePath, process.arguments);
    } else if (haveDirectory && !name.empty()) {
        started = m_host.StartProgram(directory + m_host.PathSeparator() + name, {});
    }
    if (!started) {
        m_debug.OutputDebugString(failureLine);
    }
}

void SyncSoftwareControl::RecordKilled(StoppedProgram& stopped, const ProcessEntry& process) {
    std::lock_guard lock(m_recordMutex);
    stopped.bStopped = true;
    stopped.process = process;
    SaveStopRecordLocked();
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
    if (m_stoppedServices.insert(service).second) {
        SaveStopRecordLocked();
    }
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

void SyncSoftwareUnlessKeptOff::StopSyncSoftware() {
    if (m_leftRunningReason) {
        if (const std::optional<std::string> reason = m_leftRunningReason()) {
            if (!m_bLeftRunningLogged.exchange(true)) {
                m_mainLog.AppendMainLog("[Setup] ModemManager left running: %s\r\n",
                                        reason->c_str());
            }
            return;
        }
    }
    m_bLeftRunningLogged = false;
    m_inner.StopSyncSoftware();
}

}  // namespace varnel
