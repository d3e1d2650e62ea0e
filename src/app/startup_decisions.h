// The start-up decisions that depend on the PC: which OS runs (and so the transport class and the
// sync-software path), the download RAM size from the string table, the title and system-menu
// texts, and what a failed device-notification registration shows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "app/sync_software_control.h"
#include "engine/host_startup.h"
#include "engine/os_version.h"

namespace varnel {

// The tool's string table: built-in values that a test or a resource loader may replace.
class StringTable {
  public:
    StringTable();
    std::string Load(uint32_t id) const;  // empty when there is no such entry
    void Set(uint32_t id, std::string value);

  private:
    std::map<uint32_t, std::string> m_strings;
};

// A decimal string table value read as atol reads it (leading blanks, a sign, digits up to the
// first other character), saturated instead of overflowing.
int64_t ParseDecimal(std::string_view text);

inline constexpr char kOsVersionFailedText[] = "Cannot execute app by GetVersionEx API fail";
inline constexpr char kOsTooOldText[] = "Execute application in Win2K lately";
inline constexpr char kRamSizeFailedText[] = "Usuable ram size cannot decide";
inline constexpr char kRegistrationCaption[] = "RegisterDeviceNotification";

struct OsDecision {
    bool bSupported = false;
    const char* failureText = nullptr;  // set when not supported
    int nOsKind = kOsKindXp;
    int bVistaOrLater = 0;
    TransportClass transportClass = TransportClass::kUsbInterface;
};

// `version` is null when the query failed.
OsDecision DecideOsFromVersion(const OsVersionInfo* version);

// Detect's line naming the platform.
std::string FormatOsSetupLine(const OsVersionInfo& version, int nOsKind);

// The largest RAM data chunk of the boot-loader protocol: every download size is a multiple.
inline constexpr uint32_t kLargestRamChunk = 2032;

struct RamSizeDecision {
    bool bDecided = false;
    uint32_t dwDownloadRamSize = 0;
};

// The largest multiple of both the flash block (unit x count) and the RAM chunk that fits in the
// configured megabytes; not decided (size 0) when no common multiple fits.
RamSizeDecision DecideRamSize(const StringTable& strings);

class StartupDecisions final : public HostStartup {
  public:
    StartupDecisions(OsVersionProvider& versions, const StringTable& strings,
                     SyncSoftwareControl& sync);

    bool DecideOs(StartupWindow& window) override;
    void DecideDownloadRamSize(StartupWindow& window) override;
    void SetTitleAndSystemMenu(StartupWindow& window) override;
    void RegisterDeviceNotifications(StartupWindow& window) override;

    int VistaOrLater() const override { return m_decision.bVistaOrLater; }
    TransportClass ChosenTransport() const override { return m_decision.transportClass; }
    uint32_t DownloadRamSize() const override { return m_dwDownloadRamSize; }
    std::string OsSetupLine() const override;
    std::string ResourceString(uint32_t id) const override { return m_strings.Load(id); }
    SyncSoftware& Sync() override { return m_sync; }

  private:
    // Message boxes without a caption of their own carry the tool's title.
    void ShowFailure(StartupWindow& window, const std::string& text);

    OsVersionProvider& m_versions;
    const StringTable& m_strings;
    SyncSoftwareControl& m_sync;
    OsVersionInfo m_version;
    OsDecision m_decision;
    uint32_t m_dwDownloadRamSize = 0;
};

}  // namespace varnel
