#include "platform/windows/win_host.h"

// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winsvc.h>
// clang-format on

#include <algorithm>
#include <cstring>

#include "transport/device_path.h"

// <windows.h> names these calls by macros that would rename the host interfaces' methods.
#undef OpenService
#undef OutputDebugString

namespace varnel {

namespace {

// The longest value this host reads from the registry.
constexpr DWORD kInstallDirLimit = 512;
constexpr DWORD kStopRecordLimit = 64 * 1024;

class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~ScHandle() {
        if (m_handle != nullptr) {
            ::CloseServiceHandle(m_handle);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE Get() const { return m_handle; }

  private:
    SC_HANDLE m_handle;
};

class WinServiceHandle final : public ServiceHandle {
  public:
    explicit WinServiceHandle(SC_HANDLE service) : m_service(service) {}

    uint32_t QueryStatus(ServiceStatus& status) override {
        SERVICE_STATUS_PROCESS process{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(m_service.Get(), SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&process), sizeof process, &needed)) {
            return ::GetLastError();
        }
        status = {process.dwCurrentState, process.dwWin32ExitCode, process.dwCheckPoint,
                  process.dwWaitHint};
        return 0;
    }

    uint32_t ControlStop(ServiceStatus& status) override {
        SERVICE_STATUS result{};
        if (!::ControlService(m_service.Get(), SERVICE_CONTROL_STOP, &result)) {
            return ::GetLastError();
        }
        status = {result.dwCurrentState, result.dwWin32ExitCode, result.dwCheckPoint,
                  result.dwWaitHint};
        return 0;
    }

    uint32_t Start() override {
        return ::StartServiceA(m_service.Get(), 0, nullptr) ? 0 : ::GetLastError();
    }

    uint32_t EnumerateActiveDependents(std::vector<std::string>& names) override {
        names.clear();
        DWORD needed = 0;
        DWORD count = 0;
        if (::EnumDependentServicesA(m_service.Get(), SERVICE_ACTIVE, nullptr, 0, &needed,
                                     &count)) {
            return 0;
        }
        if (::GetLastError() != ERROR_MORE_DATA) {
            return ::GetLastError();
        }
        // Entries first, their names after them, all within the size the system asked for.
        std::vector<ENUM_SERVICE_STATUSA> buffer(needed / sizeof(ENUM_SERVICE_STATUSA) + 1);
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(ENUM_SERVICE_STATUSA));
        if (!::EnumDependentServicesA(m_service.Get(), SERVICE_ACTIVE, buffer.data(), size, &needed,
                                      &count)) {
            return ::GetLastError();
        }
        count = std::min<DWORD>(count, static_cast<DWORD>(buffer.size()));
        for (DWORD index = 0; index < count; ++index) {
            if (buffer[index].lpServiceName != nullptr) {
                names.emplace_back(buffer[index].lpServiceName);
            }
        }
        return 0;
    }

  private:
    ScHandle m_service;
};

class WinServiceManager final : public ServiceManager {
  public:
    explicit WinServiceManager(SC_HANDLE manager) : m_manager(manager) {}

    std::unique_ptr<ServiceHandle> OpenService(const std::string& name, ServiceAccess access,
                                               uint32_t& error) override {
        DWORD rights = SERVICE_ALL_ACCESS;
        if (access == ServiceAccess::kStopQueryEnumerate) {
            rights = SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS;
        } else if (access == ServiceAccess::kStopQuery) {
            rights = SERVICE_STOP | SERVICE_QUERY_STATUS;
        }
        const SC_HANDLE service = ::OpenServiceA(m_manager.Get(), name.c_str(), rights);
        if (service == nullptr) {
            error = ::GetLastError();
            return nullptr;
        }
        return std::make_unique<WinServiceHandle>(service);
    }

  private:
    ScHandle m_manager;
};

HKEY RootKey(const RegistryPlace& place) {
    return place.root == RegistryPlace::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// A string value of at most `limit` bytes; false when it is missing, of another type or longer.
bool ReadStringValue(HKEY key, const char* name, DWORD limit, std::string& text) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > limit) {
        return false;
    }
    std::string value(size, '\0');
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                           &size) != ERROR_SUCCESS ||
        size > value.size()) {
        return false;
    }
    // A stored string need not end with its terminator; one that does keeps it out of the text.
    value.resize(strnlen(value.data(), size));
    text = std::move(value);
    return true;
}

// The key of `place`, created volatile when missing; its parents, created when missing, are
// ordinary keys, so that keys kept across restarts can still be made beside it. Null on failure.
HKEY OpenVolatileKey(const RegistryPlace& place) {
    const size_t split = place.strKey.rfind('\\');
    HKEY parent = RootKey(place);
    HKEY createdParent = nullptr;
    if (split != std::string::npos) {
        if (::RegCreateKeyExA(parent, place.strKey.substr(0, split).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, nullptr, &createdParent,
                              nullptr) != ERROR_SUCCESS) {
            return nullptr;
        }
        parent = createdParent;
    }
    const std::string leaf =
        split == std::string::npos ? place.strKey : place.strKey.substr(split + 1);
    HKEY key = nullptr;
    if (::RegCreateKeyExA(parent, leaf.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        key = nullptr;
    }
    if (createdParent != nullptr) {
        ::RegCloseKey(createdParent);
    }
    return key;
}

std::string BaseName(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

bool WinOsVersionProvider::GetVersion(OsVersionInfo& version) {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    const FARPROC address = ntdll != nullptr ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    if (address == nullptr) {
        return false;
    }
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(address))(&info) != 0) {
        return false;
    }
    version.family = OsFamily::kWindows;
    version.dwMajorVersion = info.dwMajorVersion;
    version.dwMinorVersion = info.dwMinorVersion;
    version.strRelease = std::to_string(info.dwMajorVersion) + "." +
                         std::to_string(info.dwMinorVersion) + "." +
                         std::to_string(info.dwBuildNumber);
    return true;
}

WinSyncSoftwareHost::WinSyncSoftwareHost(RegistryPlace installKey, RegistryPlace stopRecordKey)
    : m_installKey(std::move(installKey)), m_stopRecordKey(std::move(stopRecordKey)) {}

std::unique_ptr<ServiceManager> WinSyncSoftwareHost::OpenServiceManager(uint32_t& error) {
    const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        error = ::GetLastError();
        return nullptr;
    }
    return std::make_unique<WinServiceManager>(manager);
}

void WinSyncSoftwareHost::RunNetCommand(const std::string& parameters) {
    ::ShellExecuteA(nullptr, "open", "net", parameters.c_str(), nullptr, SW_HIDE);
}

bool WinSyncSoftwareHost::SnapshotProcesses(std::vector<ProcessEntry>& processes) {
    processes.clear();
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot, &entry); more;
         more = ::Process32Next(snapshot, &entry)) {
        const char* name = entry.szExeFile;
        // Programs are started again from the install directory: no path of their own.
        processes.emplace_back(entry.th32ProcessID,
                               std::string(name, strnlen(name, sizeof entry.szExeFile)));
    }
    ::CloseHandle(snapshot);
    return true;
}

bool WinSyncSoftwareHost::TerminateProcess(const ProcessEntry& process) {
    if (process.id == 0 || process.id > MAXDWORD) {
        return false;
    }
    const HANDLE handle = ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                        FALSE, static_cast<DWORD>(process.id));
    if (handle == nullptr) {
        return false;
    }
    bool terminated = false;
    DWORD exitCode = 0;
    char image[MAX_PATH] = {};
    DWORD imageSize = sizeof image;
    // An id can be reused once its process ends: terminate only a live one of the same name.
    if (::GetExitCodeProcess(handle, &exitCode) && exitCode == STILL_ACTIVE &&
        ::QueryFullProcessImageNameA(handle, 0, image, &imageSize) &&
        EqualIgnoringCase(BaseName(std::string_view(image, std::min<DWORD>(imageSize, MAX_PATH))),
                          BaseName(process.strExeFile))) {
        terminated = ::TerminateProcess(handle, exitCode) != FALSE;
    }
    ::CloseHandle(handle);
    return terminated;
}

std::string QuotedCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments) {
    std::string line = "\"" + program + "\"";
    for (const std::string& argument : arguments) {
        line += ' ';
        if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes before a quote are doubled, and the quote escaped.
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        // Before the closing quote, every backslash is doubled.
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

bool WinSyncSoftwareHost::StartProgram(const std::string& path,
                                       const std::vector<std::string>& arguments) {
    std::string commandLine = QuotedCommandLine(path, arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // The program by its full path, never looked up elsewhere.
    if (!::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &started)) {
        return false;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return true;
}

InstallDirRead WinSyncSoftwareHost::ReadInstalledDir(std::string& directory) {
    HKEY key = nullptr;
    // Reading needs no more than read access; the key is created when it is missing.
    if (::RegOpenKeyExA(RootKey(m_installKey), m_installKey.strKey.c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS &&
        ::RegCreateKeyExA(RootKey(m_installKey), m_installKey.strKey.c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return InstallDirRead::kKeyFailed;
    }
    std::string value;
    const bool read = ReadStringValue(key, kInstalledDirValue, kInstallDirLimit, value);
    ::RegCloseKey(key);
    if (!read) {
        return InstallDirRead::kValueFailed;
    }
    directory = std::move(value);
    return InstallDirRead::kRead;
}

bool WinSyncSoftwareHost::ReadStopRecord(std::string& text) {
    // No key, no record: an empty name would open the root itself.
    if (m_stopRecordKey.strKey.empty()) {
        return false;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExA(RootKey(m_stopRecordKey), m_stopRecordKey.strKey.c_str(), 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
        return false;
    }
    std::string value;
    const bool read = ReadStringValue(key, kStopRecordValue, kStopRecordLimit, value);
    ::RegCloseKey(key);
    if (!read || value.empty()) {
        return false;
    }
    text = std::move(value);
    return true;
}

bool WinSyncSoftwareHost::WriteStopRecord(const std::string& text) {
    if (m_stopRecordKey.strKey.empty() || text.size() >= kStopRecordLimit ||
        text.find('\0') != std::string::npos) {
        return false;
    }
    HKEY key = OpenVolatileKey(m_stopRecordKey);
    if (key == nullptr) {
        return false;
    }
    LONG result = ERROR_SUCCESS;
    if (text.empty()) {
        result = ::RegDeleteValueA(key, kStopRecordValue);
        if (result == ERROR_FILE_NOT_FOUND) {
            result = ERROR_SUCCESS;
        }
    } else {
        // One call replaces the whole value: a crash leaves the old record or the new one.
        result = ::RegSetValueExA(key, kStopRecordValue, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size() + 1));
    }
    ::RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void WinDebugOutput::OutputDebugString(std::string_view line) {
    ::OutputDebugStringA(std::string(line).c_str());
}

}  // namespace varnel
