// The Linux host of the start-up decisions and the sync-software control. What claims a freshly
// plugged USB handset here is ModemManager: the service path controls its systemd unit over
// D-Bus, the process path finds its process in /proc. Without systemd, or without the rights
// to stop a unit, each call fails with its log line and the download goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/os_version.h"
#include "engine/sync_software_host.h"

namespace varnel {

// Which transport the platform layer drives; it stands for the Windows version the decisions
// are made on: libusb takes the WinUSB (major 6) path, tty nodes the file-handle (major 5) path.
enum class LinuxTransport { kLibusb, kTty };

class LinuxOsVersionProvider final : public OsVersionProvider {
  public:
    explicit LinuxOsVersionProvider(LinuxTransport transport) : m_transport(transport) {}
    bool GetVersion(OsVersionInfo& version) override;

  private:
    LinuxTransport m_transport;
};

inline constexpr char kDefaultSyncUnit[] = "ModemManager.service";
inline constexpr char kDefaultSyncProgram[] = "ModemManager";
inline constexpr char kDefaultSyncInstallDir[] = "/usr/sbin";

// The names of the sync software on Linux: one unit, one program.
SyncSoftwareNames LinuxSyncSoftwareNames(const std::string& unit = kDefaultSyncUnit,
                                         const std::string& program = kDefaultSyncProgram);

// A unit as systemd's manager describes it on the bus.
struct UnitProperties {
    std::string strLoadState;
    std::string strActiveState;
    int64_t nExecMainStatus = 0;
    std::vector<std::string> requiredBy;
    std::vector<std::string> boundBy;
};

// systemd's manager, as the service path uses it. Results are 0 or an errno value (ENOENT: no
// such unit, EACCES: not allowed).
class SystemdBus {
  public:
    virtual ~SystemdBus() = default;
    virtual uint32_t ReadUnit(const std::string& unit, UnitProperties& properties) = 0;
    // Queue the job and return without waiting for it.
    virtual uint32_t StartUnit(const std::string& unit) = 0;
    virtual uint32_t StopUnit(const std::string& unit) = 0;
};

// systemd has no wait hints or check points: pending states announce this hint instead.
inline constexpr uint32_t kDefaultPendingWaitHintMs = 3000;

class LinuxSyncSoftwareHost final : public SyncSoftwareHost {
  public:
    // `stopRecordPath`: where the record of what was stopped is kept; empty: no record.
    explicit LinuxSyncSoftwareHost(std::string installDirectory = kDefaultSyncInstallDir,
                                   uint32_t pendingWaitHintMs = kDefaultPendingWaitHintMs,
                                   std::string stopRecordPath = {});

    std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error) override;
    // "stop UNIT" or "start UNIT": asks systemd without waiting for the unit.
    void RunNetCommand(const std::string& parameters) override;
    bool SnapshotProcesses(std::vector<ProcessEntry>& processes) override;
    // Sends SIGTERM, but only to the same process that the snapshot saw.
    bool TerminateProcess(const ProcessEntry& process) override;
    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override;
    InstallDirRead ReadInstalledDir(std::string& directory) override;
    char PathSeparator() const override { return '/'; }
    // Only a regular file of this user's that no one else may write counts as a record.
    bool ReadStopRecord(std::string& text) override;
    // Written whole under another name, then renamed, so a crash never leaves half a record.
    bool WriteStopRecord(const std::string& text) override;
    // The service path talks to this bus instead of the system's (tests).
    void UseSystemdBus(std::shared_ptr<SystemdBus> bus);

  private:
    // The system's bus, opened on first use; null (error set) without systemd.
    std::shared_ptr<SystemdBus> Bus(uint32_t& error);

    const std::string m_installDirectory;
    const uint32_t m_pendingWaitHintMs;
    const std::string m_stopRecordPath;
    std::mutex m_busMutex;
    std::shared_ptr<SystemdBus> m_pBus;
};

// Under /run: gone after a reboot, when nothing stopped is stopped any more.
inline constexpr char kDefaultStopRecordPath[] = "/run/varnel-downloader/sync-stopped";

// A process as the walk sees it: its name and, for a program (not a script run by an
// interpreter), its executable and arguments. Empty name when the process is gone.
ProcessEntry ReadProcessEntry(uint64_t pid);

// The first `limit` bytes of a file; empty when it cannot be opened.
std::string ReadSmallFile(const std::string& path, size_t limit);

// Whether systemd runs this system.
bool SystemdRunning();

// A process's executable name: its kernel name, or the file name it was started by when the
// kernel name is a cut-off prefix of it. Empty when the process is gone or has ended.
std::string ReadProcessName(uint64_t pid);

// The manager on the system bus (sd-bus); null with `error` set when the bus cannot be reached.
std::shared_ptr<SystemdBus> OpenSystemdBus(uint32_t& error);

// A unit's state as a service's; 0 or an errno value (ENOENT for a unit that does not exist).
uint32_t UnitStatus(const UnitProperties& properties, uint32_t pendingWaitHintMs,
                    ServiceStatus& status);
// Whether a unit name is a plain unit name.
bool IsValidUnitName(std::string_view name);

class StderrDebugOutput final : public DebugOutput {
  public:
    void OutputDebugString(std::string_view line) override;
};

}  // namespace varnel
