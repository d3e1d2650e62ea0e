#include "platform/linux/linux_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/linux/linux_command.h"

namespace varnel {

namespace {

// The kernel keeps this many characters of a process name.
constexpr size_t kKernelNameLength = 15;
constexpr size_t kMaxStopRecordSize = 65536;
constexpr size_t kMaxCommandLineSize = 65536;

bool IsAllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// One systemd unit. systemd queues a stop or start and begins it a moment later; until the unit
// shows it, the request is reported as pending, as a service control manager would.
class SystemdUnit final : public ServiceHandle {
  public:
    SystemdUnit(std::shared_ptr<SystemdBus> bus, std::string unit, uint32_t pendingWaitHintMs)
        : m_pBus(std::move(bus)), m_unit(std::move(unit)), m_pendingWaitHintMs(pendingWaitHintMs) {}

    uint32_t QueryStatus(ServiceStatus& status) override {
        UnitProperties properties;
        if (const uint32_t error = m_pBus->ReadUnit(m_unit, properties); error != 0) {
            return error;
        }
        if (const uint32_t error = UnitStatus(properties, m_pendingWaitHintMs, status);
            error != 0) {
            return error;
        }
        if (m_requested == Request::kStop && status.dwCurrentState == kServiceRunning) {
            status.dwCurrentState = kServiceStopPending;
            status.dwWaitHint = m_pendingWaitHintMs;
        } else if (m_requested == Request::kStart && properties.strActiveState == "inactive") {
            status.dwCurrentState = kServiceStartPending;
            status.dwWaitHint = m_pendingWaitHintMs;
        } else {
            m_requested = Request::kNothing;
        }
        return 0;
    }

    uint32_t ControlStop(ServiceStatus& status) override {
        if (const uint32_t error = m_pBus->StopUnit(m_unit); error != 0) {
            return error;
        }
        m_requested = Request::kStop;
        return QueryStatus(status);
    }

    uint32_t Start() override {
        if (const uint32_t error = m_pBus->StartUnit(m_unit); error != 0) {
            return error;
        }
        m_requested = Request::kStart;
        return 0;
    }

    uint32_t EnumerateActiveDependents(std::vector<std::string>& names) override {
        // Units stopped along with this one: those that require it or are bound to it.
        UnitProperties properties;
        if (const uint32_t error = m_pBus->ReadUnit(m_unit, properties); error != 0) {
            return error;
        }
        names.clear();
        for (const auto* list : {&properties.requiredBy, &properties.boundBy}) {
            for (const std::string& name : *list) {
                if (name.size() <= 8 || name.compare(name.size() - 8, 8, ".service") != 0 ||
                    !IsValidUnitName(name)) {
                    continue;
                }
                SystemdUnit dependent(m_pBus, name, m_pendingWaitHintMs);
                ServiceStatus status;
                if (dependent.QueryStatus(status) == 0 &&
                    status.dwCurrentState != kServiceStopped) {
                    names.push_back(name);
                }
            }
        }
        return 0;
    }

  private:
    enum class Request { kNothing, kStop, kStart };

    const std::shared_ptr<SystemdBus> m_pBus;
    const std::string m_unit;
    const uint32_t m_pendingWaitHintMs;
    Request m_requested = Request::kNothing;
};

class SystemdManager final : public ServiceManager {
  public:
    SystemdManager(std::shared_ptr<SystemdBus> bus, uint32_t pendingWaitHintMs)
        : m_pBus(std::move(bus)), m_pendingWaitHintMs(pendingWaitHintMs) {}

    std::unique_ptr<ServiceHandle> OpenService(const std::string& name, ServiceAccess,
                                               uint32_t& error) override {
        if (!IsValidUnitName(name)) {
            error = EINVAL;
            return nullptr;
        }
        auto unit = std::make_unique<SystemdUnit>(m_pBus, name, m_pendingWaitHintMs);
        ServiceStatus status;
        error = unit->QueryStatus(status);
        if (error != 0) {
            return nullptr;
        }
        return unit;
    }

  private:
    const std::shared_ptr<SystemdBus> m_pBus;
    const uint32_t m_pendingWaitHintMs;
};

constexpr char kSystemdService[] = "org.freedesktop.systemd1";
constexpr char kSystemdPath[] = "/org/freedesktop/systemd1";
constexpr char kSystemdManager[] = "org.freedesktop.systemd1.Manager";
constexpr char kSystemdUnit[] = "org.freedesktop.systemd1.Unit";
constexpr char kSystemdServiceUnit[] = "org.freedesktop.systemd1.Service";

uint32_t BusError(int result, const sd_bus_error& error) {
    const int errnoValue = sd_bus_error_is_set(&error) ? sd_bus_error_get_errno(&error) : -result;
    return static_cast<uint32_t>(errnoValue > 0 ? errnoValue : EIO);
}

std::vector<std::string> TakeStrv(char** list) {
    std::vector<std::string> strings;
    for (char** at = list; at != nullptr && *at != nullptr; ++at) {
        strings.emplace_back(*at);
        free(*at);
    }
    free(list);
    return strings;
}

// systemd's manager on the system bus, asked without interactive authentication: a unit that
// this user may not stop fails with EACCES.
class SdBusSystemd final : public SystemdBus {
  public:
    explicit SdBusSystemd(sd_bus* bus) : m_pBus(bus) {}
    ~SdBusSystemd() override { sd_bus_flush_close_unref(m_pBus); }
    SdBusSystemd(const SdBusSystemd&) = delete;
    SdBusSystemd& operator=(const SdBusSystemd&) = delete;

    uint32_t ReadUnit(const std::string& unit, UnitProperties& properties) override {
        std::lock_guard lock(m_mutex);
        std::string path;
        if (const uint32_t error = UnitPath(unit, path); error != 0) {
            return error;
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        char* text = nullptr;
        int result = sd_bus_get_property_string(m_pBus, kSystemdService, path.c_str(), kSystemdUnit,
                                                "LoadState", &error, &text);
        if (result >= 0) {
            properties.strLoadState = text;
            free(text);
            text = nullptr;
            result = sd_bus_get_property_string(m_pBus, kSystemdService, path.c_str(), kSystemdUnit,
                                                "ActiveState", &error, &text);
        }
        if (result >= 0) {
            properties.strActiveState = text;
            free(text);
        }
        for (const auto& [name, list] : {std::pair{"RequiredBy", &properties.requiredBy},
                                         std::pair{"BoundBy", &properties.boundBy}}) {
            char** strings = nullptr;
            if (result >= 0) {
                result = sd_bus_get_property_strv(m_pBus, kSystemdService, path.c_str(),
                                                  kSystemdUnit, name, &error, &strings);
                *list = TakeStrv(strings);
            }
        }
        if (result < 0) {
            const uint32_t code = BusError(result, error);
            sd_bus_error_free(&error);
            return code;
        }
        // Units that are no services have no main process: their status stays 0.
        int32_t exitStatus = 0;
        if (sd_bus_get_property_trivial(m_pBus, kSystemdService, path.c_str(), kSystemdServiceUnit,
                                        "ExecMainStatus", &error, 'i', &exitStatus) >= 0) {
            properties.nExecMainStatus = exitStatus;
        }
        sd_bus_error_free(&error);
        return 0;
    }

    uint32_t StartUnit(const std::string& unit) override { return Call("StartUnit", unit); }
    uint32_t StopUnit(const std::string& unit) override { return Call("StopUnit", unit); }

  private:
    // LoadUnit answers for a unit that does not exist too; its LoadState then says so.
    uint32_t UnitPath(const std::string& unit, std::string& path) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int result = sd_bus_call_method(m_pBus, kSystemdService, kSystemdPath, kSystemdManager,
                                        "LoadUnit", &error, &reply, "s", unit.c_str());
        const char* object = nullptr;
        if (result >= 0) {
            result = sd_bus_message_read(reply, "o", &object);
        }
        if (result >= 0) {
            path = object;
        }
        const uint32_t code = result < 0 ? BusError(result, error) : 0;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return code;
    }

    // Queues the job and returns; the unit's state shows when it has run.
    uint32_t Call(const char* method, const std::string& unit) {
        std::lock_guard lock(m_mutex);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int result =
            sd_bus_call_method(m_pBus, kSystemdService, kSystemdPath, kSystemdManager, method,
                               &error, &reply, "ss", unit.c_str(), "replace");
        const uint32_t code = result < 0 ? BusError(result, error) : 0;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return code;
    }

    // An sd-bus connection is not to be used from two threads at once.
    std::mutex m_mutex;
    sd_bus* const m_pBus;
};

}  // namespace

std::string ReadSmallFile(const std::string& path, size_t limit) {
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    char buffer[1024];
    while (content.size() < limit) {
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, limit - content.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return content;
}

bool LinuxOsVersionProvider::GetVersion(OsVersionInfo& version) {
    struct utsname names {};
    if (uname(&names) != 0) {
        return false;
    }
    version.family = OsFamily::kLinux;
    version.strRelease.assign(names.release, strnlen(names.release, sizeof names.release));
    if (m_transport == LinuxTransport::kLibusb) {
        version.dwMajorVersion = 6;
        version.dwMinorVersion = 0;
    } else {
        version.dwMajorVersion = 5;
        version.dwMinorVersion = 1;
    }
    return true;
}

SyncSoftwareNames LinuxSyncSoftwareNames(const std::string& unit, const std::string& program) {
    SyncSoftwareNames names;
    names.strMainService = unit;
    names.strCompanionService.clear();
    names.strNetService = unit;
    names.strMgrProgram = program;
    for (char& c : names.strMgrProgram) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    names.strCommProgram.clear();
    return names;
}

LinuxSyncSoftwareHost::LinuxSyncSoftwareHost(std::string installDirectory,
                                             uint32_t pendingWaitHintMs, std::string stopRecordPath)
    : m_installDirectory(std::move(installDirectory)),
      m_pendingWaitHintMs(pendingWaitHintMs),
      m_stopRecordPath(std::move(stopRecordPath)) {}

std::unique_ptr<ServiceManager> LinuxSyncSoftwareHost::OpenServiceManager(uint32_t& error) {
    const std::shared_ptr<SystemdBus> bus = Bus(error);
    if (!bus) {
        return nullptr;
    }
    return std::make_unique<SystemdManager>(bus, m_pendingWaitHintMs);
}

std::shared_ptr<SystemdBus> LinuxSyncSoftwareHost::Bus(uint32_t& error) {
    std::lock_guard lock(m_busMutex);
    if (m_pBus) {
        return m_pBus;
    }
    if (!SystemdRunning()) {
        error = EHOSTDOWN;
        return nullptr;
    }
    m_pBus = OpenSystemdBus(error);
    return m_pBus;
}

void LinuxSyncSoftwareHost::UseSystemdBus(std::shared_ptr<SystemdBus> bus) {
    std::lock_guard lock(m_busMutex);
    m_pBus = std::move(bus);
}

std::shared_ptr<SystemdBus> OpenSystemdBus(uint32_t& error) {
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_system(&bus);
    if (result < 0) {
        error = static_cast<uint32_t>(-result);
        return nullptr;
    }
    return std::make_shared<SdBusSystemd>(bus);
}

void LinuxSyncSoftwareHost::RunNetCommand(const std::string& parameters) {
    const size_t space = parameters.find(' ');
    if (space == std::string::npos) {
        return;
    }
    const std::string verb = parameters.substr(0, space);
    const std::string unit = parameters.substr(space + 1);
    uint32_t error = 0;
    if ((verb != "stop" && verb != "start") || !IsValidUnitName(unit)) {
        return;
    }
    if (const std::shared_ptr<SystemdBus> bus = Bus(error)) {
        if (verb == "stop") {
            bus->StopUnit(unit);
        } else {
            bus->StartUnit(unit);
        }
    }
}

bool LinuxSyncSoftwareHost::SnapshotProcesses(std::vector<ProcessEntry>& processes) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    processes.clear();
    while (const dirent* entry = readdir(proc)) {
        const std::string_view name = entry->d_name;
        if (!IsAllDigits(name) || name.size() > 9) {
            continue;
        }
        ProcessEntry process = ReadProcessEntry(std::stoull(std::string(name)));
        if (!process.strExeFile.empty()) {
            processes.push_back(std::move(process));
        }
    }
    closedir(proc);
    return true;
}

bool LinuxSyncSoftwareHost::TerminateProcess(const ProcessEntry& process) {
    if (process.id == 0 || process.id > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())) {
        return false;
    }
    // Hold the process first, then check it is still the one the snapshot saw: its number may
    // have been given to another process since.
    // Called directly: this glibc's <sys/pidfd.h> declares them without C linkage for C++.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(process.id), 0));
    if (pidFd < 0) {
        return false;
    }
    const bool terminated = !process.strExeFile.empty() &&
                            ReadProcessName(process.id) == process.strExeFile &&
                            syscall(SYS_pidfd_send_signal, pidFd, SIGTERM, nullptr, 0) == 0;
    close(pidFd);
    return terminated;
}

bool LinuxSyncSoftwareHost::StartProgram(const std::string& path,
                                         const std::vector<std::string>& arguments) {
    return StartDetached(path, arguments);
}

bool LinuxSyncSoftwareHost::ReadStopRecord(std::string& text) {
    if (m_stopRecordPath.empty()) {
        return false;
    }
    const int fd = open(m_stopRecordPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const bool trusted = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                         info.st_size <= static_cast<off_t>(kMaxStopRecordSize);
    close(fd);
    if (!trusted) {
        return false;
    }
    text = ReadSmallFile(m_stopRecordPath, kMaxStopRecordSize);
    return !text.empty();
}

bool LinuxSyncSoftwareHost::WriteStopRecord(const std::string& text) {
    if (m_stopRecordPath.empty()) {
        return true;
    }
    if (text.empty()) {
        return unlink(m_stopRecordPath.c_str()) == 0 || errno == ENOENT;
    }
    const size_t slash = m_stopRecordPath.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        mkdir(m_stopRecordPath.substr(0, slash).c_str(), 0700);
    }
    const std::string temporary = m_stopRecordPath + ".new";
    unlink(temporary.c_str());
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = write(fd, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        written += static_cast<size_t>(put);
    }
    const bool complete = written == text.size() && fsync(fd) == 0;
    close(fd);
    if (!complete || rename(temporary.c_str(), m_stopRecordPath.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

InstallDirRead LinuxSyncSoftwareHost::ReadInstalledDir(std::string& directory) {
    if (m_installDirectory.empty()) {
        return InstallDirRead::kValueFailed;
    }
    directory = m_installDirectory;
    return InstallDirRead::kRead;
}

bool SystemdRunning() {
    return access("/run/systemd/system", F_OK) == 0;
}

ProcessEntry ReadProcessEntry(uint64_t pid) {
    ProcessEntry process;
    process.id = pid;
    process.strExeFile = ReadProcessName(pid);
    if (process.strExeFile.empty()) {
        return process;
    }
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return process;
    }
    const std::string exePath(target, static_cast<size_t>(length));
    const size_t slash = exePath.rfind('/');
    // A script shows its interpreter here, and a replaced program " (deleted)": neither is
    // what to start again.
    if (slash == std::string::npos || exePath.substr(slash + 1) != process.strExeFile) {
        return process;
    }
    const std::string commandLine =
        ReadSmallFile("/proc/" + std::to_string(pid) + "/cmdline", kMaxCommandLineSize + 1);
    // Empty while the program is still being started: what it was started with is unknown.
    if (commandLine.empty() || commandLine.size() > kMaxCommandLineSize) {
        return process;
    }
    // argv[0], then each argument ended by its NUL.
    size_t at = commandLine.find('\0');
    while (at != std::string::npos && at + 1 < commandLine.size()) {
        const size_t end = commandLine.find('\0', at + 1);
        process.arguments.push_back(commandLine.substr(
            at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
        at = end;
    }
    process.strExePath = exePath;
    return process;
}

std::string ReadProcessName(uint64_t pid) {
    const std::string directory = "/proc/" + std::to_string(pid) + "/";
    // An ended process its parent has not waited for yet keeps its name but runs no more.
    const std::string stat = ReadSmallFile(directory + "stat", 512);
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size() || stat[nameEnd + 2] == 'Z' ||
        stat[nameEnd + 2] == 'X') {
        return {};
    }
    std::string name = ReadSmallFile(directory + "comm", 64);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) {
        name.pop_back();
    }
    if (name.size() < kKernelNameLength) {
        return name;
    }
    const std::string commandLine = ReadSmallFile(directory + "cmdline", 4096);
    std::string_view program(commandLine.c_str());  // up to the first NUL: argv[0]
    const size_t slash = program.rfind('/');
    if (slash != std::string_view::npos) {
        program.remove_prefix(slash + 1);
    }
    if (program.size() > name.size() && program.substr(0, name.size()) == name) {
        return std::string(program);
    }
    return name;
}

uint32_t UnitStatus(const UnitProperties& properties, uint32_t pendingWaitHintMs,
                    ServiceStatus& status) {
    if (properties.strLoadState == "not-found") {
        return ENOENT;
    }
    const std::string& activeState = properties.strActiveState;
    if (activeState == "active" || activeState == "reloading" || activeState == "refreshing") {
        status.dwCurrentState = kServiceRunning;
    } else if (activeState == "inactive" || activeState == "failed") {
        status.dwCurrentState = kServiceStopped;
    } else if (activeState == "activating") {
        status.dwCurrentState = kServiceStartPending;
    } else if (activeState == "deactivating") {
        status.dwCurrentState = kServiceStopPending;
    } else {
        return EPROTO;
    }
    status.dwWin32ExitCode =
        static_cast<uint32_t>(std::max<int64_t>(properties.nExecMainStatus, 0));
    status.dwCheckPoint = 0;
    const bool pending = status.dwCurrentState == kServiceStartPending ||
                         status.dwCurrentState == kServiceStopPending;
    status.dwWaitHint = pending ? pendingWaitHintMs : 0;
    return 0;
}

bool IsValidUnitName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '-') {
        return false;
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == ':' || c == '_' || c == '.' ||
                             c == '\\' || c == '@' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

void StderrDebugOutput::OutputDebugString(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace varnel
