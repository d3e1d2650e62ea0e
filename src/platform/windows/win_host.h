// The Windows host of the start-up decisions and the sync-software control: the OS version as
// the kernel reports it, the service control manager, the toolhelp process walk, process start
// and termination, the registry's install directory, and the record of what was stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/os_version.h"
#include "engine/sync_software_host.h"

namespace varnel {

// RtlGetVersion, which reports the real version where GetVersionEx reports what the program's
// manifest admits to (6.2 on Windows 10 and 11 without one).
class WinOsVersionProvider final : public OsVersionProvider {
  public:
    bool GetVersion(OsVersionInfo& version) override;
};

// A registry location under HKEY_CURRENT_USER (0) or HKEY_LOCAL_MACHINE (1).
struct RegistryPlace {
    enum Root { kCurrentUser, kLocalMachine } root = kLocalMachine;
    std::string strKey;
};

inline const RegistryPlace kSyncInstallKey{RegistryPlace::kLocalMachine,
                                           "SOFTWARE\\Microsoft\\Windows CE Services"};
// A volatile key: gone after a restart of the system, when nothing stopped is stopped any more.
inline const RegistryPlace kStopRecordKey{RegistryPlace::kCurrentUser,
                                          "Software\\Varnel\\Downloader\\Session"};

// A stop-record key with an empty name keeps no record.
class WinSyncSoftwareHost final : public SyncSoftwareHost {
  public:
    explicit WinSyncSoftwareHost(RegistryPlace installKey = kSyncInstallKey,
                                 RegistryPlace stopRecordKey = kStopRecordKey);

    std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error) override;
    // The shell's "net" with these parameters, hidden, not waited for.
    void RunNetCommand(const std::string& parameters) override;
    bool SnapshotProcesses(std::vector<ProcessEntry>& processes) override;
    // Only the process the snapshot saw: the same id running an executable of the same name.
    bool TerminateProcess(const ProcessEntry& process) override;
    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override;
    // The value "InstalledDir" of the install key, created when missing.
    InstallDirRead ReadInstalledDir(std::string& directory) override;
    char PathSeparator() const override { return '\\'; }
    bool ReadStopRecord(std::string& text) override;
    bool WriteStopRecord(const std::string& text) override;

  private:
    const RegistryPlace m_installKey;
    const RegistryPlace m_stopRecordKey;
};

// The system debugger's output.
class WinDebugOutput final : public DebugOutput {
  public:
    void OutputDebugString(std::string_view line) override;
};

// A command line that hands each argument to the program unchanged, by the quoting rules the
// C runtime parses: `program` first.
std::string QuotedCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments);

inline constexpr char kStopRecordValue[] = "SyncStopped";
inline constexpr char kInstalledDirValue[] = "InstalledDir";

}  // namespace varnel
