// The host calls the sync-software control is written against: a service manager, the process
// table, the install directory of the sync programs, a "net"-style command runner and the
// debugger output. Windows implements them with its own calls, Linux with systemd and /proc.
// Error codes are the system's own (0 = success).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnel {

enum ServiceState : uint32_t {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,
};

struct ServiceStatus {
    uint32_t dwCurrentState = kServiceStopped;
    uint32_t dwWin32ExitCode = 0;
    uint32_t dwCheckPoint = 0;
    uint32_t dwWaitHint = 0;  // milliseconds
};

class ServiceHandle {
  public:
    virtual ~ServiceHandle() = default;
    virtual uint32_t QueryStatus(ServiceStatus& status) = 0;
    // Sends the stop control; on success `status` is the state right after it.
    virtual uint32_t ControlStop(ServiceStatus& status) = 0;
    virtual uint32_t Start() = 0;
    // The services that depend on this one and are not stopped.
    virtual uint32_t EnumerateActiveDependents(std::vector<std::string>& names) = 0;
};

enum class ServiceAccess {
    kStopQueryEnumerate,  // stop, query status, enumerate dependents
    kStopQuery,
    kAll,
};

class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    // Null with `error` set when the service cannot be opened.
    virtual std::unique_ptr<ServiceHandle> OpenService(const std::string& name,
                                                       ServiceAccess access, uint32_t& error) = 0;
};

struct ProcessEntry {
    ProcessEntry() = default;
    ProcessEntry(uint64_t processId, std::string exeFile, std::string exePath = {},
                 std::vector<std::string> startArguments = {})
        : id(processId),
          strExeFile(std::move(exeFile)),
          strExePath(std::move(exePath)),
          arguments(std::move(startArguments)) {}

    uint64_t id = 0;
    std::string strExeFile;  // the executable's file name as the process table reports it
    // How it was started, where the host can tell: the executable's full path and the arguments
    // after the program's name. An empty path: started again from the install directory.
    std::string strExePath;
    std::vector<std::string> arguments;
};

enum class InstallDirRead { kRead, kKeyFailed, kValueFailed };

class SyncSoftwareHost {
  public:
    virtual ~SyncSoftwareHost() = default;

    // Null with `error` set when the service manager cannot be reached.
    virtual std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error) = 0;
    // Runs the "net" command with these parameters ("stop wcescomm"), hidden, without waiting.
    virtual void RunNetCommand(const std::string& parameters) = 0;

    virtual bool SnapshotProcesses(std::vector<ProcessEntry>& processes) = 0;
    // True when the process was found still running and terminated.
    virtual bool TerminateProcess(const ProcessEntry& process) = 0;
    // Starts a program with these arguments and does not wait for it.
    virtual bool StartProgram(const std::string& path,
                              const std::vector<std::string>& arguments) = 0;
    // The directory the sync programs were installed in.
    virtual InstallDirRead ReadInstalledDir(std::string& directory) = 0;
    virtual char PathSeparator() const = 0;

    // The record of what this tool stopped, kept where it outlives the process, so that a start
    // after a crash can restore it. False when there is none or it cannot be trusted.
    virtual bool ReadStopRecord(std::string& text) = 0;
    // An empty text removes the record. False when it could not be written.
    virtual bool WriteStopRecord(const std::string& text) = 0;
};

// Lines for a developer's debugger, never shown to the operator.
class DebugOutput {
  public:
    virtual ~DebugOutput() = default;
    virtual void OutputDebugString(std::string_view line) = 0;
};

// What the sync software is called on this host.
struct SyncSoftwareNames {
    std::string strMainService = "WcesComm";      // stopped with its dependents
    std::string strCompanionService = "RapiMgr";  // started again before the main service
    std::string strNetService = "wcescomm";       // as given to the "net" command
    // Matched against the upper-case executable names of the process walk; empty = none.
    std::string strMgrProgram = "WCESMGR.EXE";
    std::string strCommProgram = "WCESCOMM.EXE";
};

}  // namespace varnel
