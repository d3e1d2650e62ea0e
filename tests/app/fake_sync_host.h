// A scripted host for the sync-software control: services that stop and start over virtual
// time, a process table, an install directory, and records of everything asked of them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/clock.h"
#include "engine/log_sink.h"
#include "engine/sync_software_host.h"

namespace varnel::testing {

inline constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

struct FakeService {
    uint32_t state = kServiceRunning;
    uint32_t exitCode = 0;
    uint32_t waitHint = 1000;
    uint64_t stopTakesMs = 0;   // after the stop control; kNever: stays stop-pending
    uint64_t startTakesMs = 0;  // after the start; kNever: stays start-pending
    uint32_t startEndsIn = kServiceRunning;
    bool checkPointGrows = true;  // by one every 500 ms while pending
    uint32_t openError = 0, queryError = 0, controlError = 0, startError = 0;
    std::vector<std::string> dependents;

    uint64_t pendingSince = 0, pendingUntil = 0;
    uint32_t pendingEndsIn = kServiceStopped;
};

class FakeSyncHost final : public SyncSoftwareHost {
  public:
    explicit FakeSyncHost(FakeClock& clock) : m_clock(clock) {}

    // --- Script ---
    std::map<std::string, FakeService> services;
    uint32_t managerError = 0;
    bool netStopActsAtOnce = false;  // "net stop NAME" stops the service named NAME at once
    std::vector<ProcessEntry> processes;
    std::set<uint64_t> unkillable;
    bool snapshotFails = false;
    InstallDirRead installDirRead = InstallDirRead::kRead;
    std::string installDir = "C:\\Program Files\\Sync";
    bool startProgramFails = false;
    std::string stopRecord;  // what outlives the process; empty: none

    // --- Record ---
    std::vector<std::string> netCommands;
    std::vector<std::string> events;  // "stop NAME", "start NAME", in order
    std::vector<uint64_t> terminated;
    std::vector<std::string> startedPrograms;
    int snapshots = 0;

    // A service already stopping when the tool first looks.
    void BeginStopping(const std::string& name, uint64_t takesMs) {
        Begin(services[name], kServiceStopPending, kServiceStopped, takesMs);
    }

    int StopControls(const std::string& name) const { return Count("stop " + name); }
    int Starts(const std::string& name) const { return Count("start " + name); }

    std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error) override {
        std::lock_guard lock(m_mutex);
        if (managerError != 0) {
            error = managerError;
            return nullptr;
        }
        return std::make_unique<Manager>(*this);
    }

    void RunNetCommand(const std::string& parameters) override {
        std::lock_guard lock(m_mutex);
        netCommands.push_back(parameters);
        if (netStopActsAtOnce && parameters.rfind("stop ", 0) == 0) {
            for (auto& [name, service] : services) {
                if (Lower(name) == parameters.substr(5)) {
                    service.state = kServiceStopped;
                }
            }
        }
    }

    bool SnapshotProcesses(std::vector<ProcessEntry>& list) override {
        std::lock_guard lock(m_mutex);
        ++snapshots;
        list = processes;
        return !snapshotFails;
    }

    bool TerminateProcess(const ProcessEntry& process) override {
        std::lock_guard lock(m_mutex);
        const auto found = std::find_if(processes.begin(), processes.end(),
                                        [&](const ProcessEntry& p) { return p.id == process.id; });
        if (found == processes.end() || unkillable.count(process.id) != 0) {
            return false;
        }
        terminated.push_back(process.id);
        processes.erase(found);
        return true;
    }

    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override {
        std::lock_guard lock(m_mutex);
        if (startProgramFails) {
            return false;
        }
        std::string started = path;
        for (const std::string& argument : arguments) {
            started += " " + argument;
        }
        startedPrograms.push_back(started);
        return true;
    }

    bool ReadStopRecord(std::string& text) override {
        std::lock_guard lock(m_mutex);
        text = stopRecord;
        return !stopRecord.empty();
    }

    bool WriteStopRecord(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        stopRecord = text;
        return true;
    }

    InstallDirRead ReadInstalledDir(std::string& directory) override {
        if (installDirRead == InstallDirRead::kRead) {
            directory = installDir;
        }
        return installDirRead;
    }

    char PathSeparator() const override { return '\\'; }

  private:
    class Handle final : public ServiceHandle {
      public:
        Handle(FakeSyncHost& host, std::string name) : m_host(host), m_name(std::move(name)) {}
        uint32_t QueryStatus(ServiceStatus& status) override {
            std::lock_guard lock(m_host.m_mutex);
            return m_host.Query(m_name, status);
        }
        uint32_t ControlStop(ServiceStatus& status) override {
            std::lock_guard lock(m_host.m_mutex);
            FakeService& service = m_host.services[m_name];
            if (service.controlError != 0) {
                return service.controlError;
            }
            m_host.events.push_back("stop " + m_name);
            m_host.Begin(service, kServiceStopPending, kServiceStopped, service.stopTakesMs);
            return m_host.Query(m_name, status);
        }
        uint32_t Start() override {
            std::lock_guard lock(m_host.m_mutex);
            FakeService& service = m_host.services[m_name];
            if (service.startError != 0) {
                return service.startError;
            }
            if (service.state != kServiceStopped) {
                return 1056;  // already running
            }
            m_host.events.push_back("start " + m_name);
            m_host.Begin(service, kServiceStartPending, service.startEndsIn, service.startTakesMs);
            return 0;
        }
        uint32_t EnumerateActiveDependents(std::vector<std::string>& names) override {
            std::lock_guard lock(m_host.m_mutex);
            names.clear();
            for (const std::string& name : m_host.services[m_name].dependents) {
                if (m_host.services[name].state != kServiceStopped) {
                    names.push_back(name);
                }
            }
            return 0;
        }

      private:
        FakeSyncHost& m_host;
        const std::string m_name;
    };

    class Manager final : public ServiceManager {
      public:
        explicit Manager(FakeSyncHost& host) : m_host(host) {}
        std::unique_ptr<ServiceHandle> OpenService(const std::string& name, ServiceAccess,
                                                   uint32_t& error) override {
            std::lock_guard lock(m_host.m_mutex);
            const auto found = m_host.services.find(name);
            if (found == m_host.services.end()) {
                error = 1060;  // no such service
                return nullptr;
            }
            if (found->second.openError != 0) {
                error = found->second.openError;
                return nullptr;
            }
            return std::make_unique<Handle>(m_host, name);
        }

      private:
        FakeSyncHost& m_host;
    };

    static std::string Lower(std::string text) {
        for (char& c : text) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        return text;
    }

    void Begin(FakeService& service, uint32_t pending, uint32_t endsIn, uint64_t takesMs) {
        const uint64_t now = m_clock.TickCount();
        service.state = pending;
        service.pendingEndsIn = endsIn;
        service.pendingSince = now;
        service.pendingUntil = takesMs == kNever ? kNever : now + takesMs;
        if (takesMs == 0) {
            service.state = endsIn;
        }
    }

    uint32_t Query(const std::string& name, ServiceStatus& status) {
        FakeService& service = services[name];
        if (service.queryError != 0) {
            return service.queryError;
        }
        const uint64_t now = m_clock.TickCount();
        const bool pending =
            service.state == kServiceStopPending || service.state == kServiceStartPending;
        if (pending && now >= service.pendingUntil) {
            service.state = service.pendingEndsIn;
        }
        status.dwCurrentState = service.state;
        status.dwWin32ExitCode = service.exitCode;
        status.dwWaitHint = service.waitHint;
        status.dwCheckPoint = 0;
        if (service.state == kServiceStopPending || service.state == kServiceStartPending) {
            status.dwCheckPoint =
                service.checkPointGrows
                    ? 1 + static_cast<uint32_t>((now - service.pendingSince) / 500)
                    : 1;
        }
        return 0;
    }

    int Count(const std::string& event) const {
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }

    FakeClock& m_clock;
    std::recursive_mutex m_mutex;
};

class RecordingLog final : public MainLogSink {
  public:
    void AppendMainLogText(std::string_view entry) override {
        std::lock_guard lock(m_mutex);
        m_entries.emplace_back(entry);
    }
    std::vector<std::string> Entries() const {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

class RecordingDebug final : public DebugOutput {
  public:
    void OutputDebugString(std::string_view line) override {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(line);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace varnel::testing
