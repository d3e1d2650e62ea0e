#include "app/startup_decisions.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "engine/log_sink.h"

namespace varnel {

StringTable::StringTable()
    : m_strings{
          {kStringAppTitle, "Varnel Downloader v2.11"},
          {kStringRamMegabytes, "40"},
          {kStringFlashUnit, "2056"},
          {kStringFlashUnitCount, "1"},
          {kStringAboutBox, "Varnel Multi-Threaded Downloader Information..."},
      } {}

std::string StringTable::Load(uint32_t id) const {
    const auto found = m_strings.find(id);
    return found == m_strings.end() ? std::string() : found->second;
}

void StringTable::Set(uint32_t id, std::string value) {
    m_strings[id] = std::move(value);
}

int64_t ParseDecimal(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const int digit = text[at] - '0';
        if (value > (kMax - digit) / 10) {
            return negative ? std::numeric_limits<int64_t>::min() : kMax;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

OsDecision DecideOsFromVersion(const OsVersionInfo* version) {
    OsDecision decision;
    if (version == nullptr) {
        decision.failureText = kOsVersionFailedText;
        return decision;
    }
    if (version->dwMajorVersion >= 6) {
        decision.bVistaOrLater = 1;
        decision.transportClass = TransportClass::kWinUsbInterface;
        decision.nOsKind = version->dwMajorVersion == 6 && version->dwMinorVersion == 1
                               ? kOsKindWindows7
                               : kOsKindVista;
    } else if (version->dwMajorVersion == 5) {
        decision.bVistaOrLater = 0;
        decision.transportClass = TransportClass::kUsbInterface;
        decision.nOsKind = kOsKindXp;
    } else {
        decision.failureText = kOsTooOldText;
        return decision;
    }
    decision.bSupported = true;
    return decision;
}

std::string FormatOsSetupLine(const OsVersionInfo& version, int nOsKind) {
    if (version.family == OsFamily::kLinux) {
        return "[Setup] Linux " + version.strRelease + " \r\n";
    }
    switch (nOsKind) {
        case kOsKindWindows7:
            return "[Setup] Windows 7 \r\n";
        case kOsKindVista:
            return "[Setup] Windows Vista \r\n";
        default:
            return "[Setup] Windows XP \r\n";
    }
}

RamSizeDecision DecideRamSize(const StringTable& strings) {
    // The size is a 32-bit byte count: a configured size above that is taken as the most it holds.
    constexpr uint64_t kLargestSize = std::numeric_limits<uint32_t>::max();
    const int64_t megabytes = ParseDecimal(strings.Load(kStringRamMegabytes));
    uint64_t limit = 0;
    if (megabytes > 0) {
        limit = megabytes > int64_t{kLargestSize >> 20}
                    ? kLargestSize
                    : std::min(static_cast<uint64_t>(megabytes) << 20, kLargestSize);
    }
    const int64_t flashUnit = ParseDecimal(strings.Load(kStringFlashUnit));
    const int64_t flashUnitCount = ParseDecimal(strings.Load(kStringFlashUnitCount));
    // A block of no bytes has no multiple; a block larger than the limit has none within it.
    if (flashUnit <= 0 || flashUnitCount <= 0 ||
        static_cast<uint64_t>(flashUnit) > limit / static_cast<uint64_t>(flashUnitCount)) {
        return RamSizeDecision{};
    }
    const uint64_t block = static_cast<uint64_t>(flashUnit) * static_cast<uint64_t>(flashUnitCount);
    const uint64_t commonMultiple = std::lcm(block, uint64_t{kLargestRamChunk});
    if (commonMultiple > limit) {
        return RamSizeDecision{};
    }
    return RamSizeDecision{true, static_cast<uint32_t>(limit / commonMultiple * commonMultiple)};
}

StartupDecisions::StartupDecisions(OsVersionProvider& versions, const StringTable& strings,
                                   SyncSoftwareControl& sync)
    : m_versions(versions), m_strings(strings), m_sync(sync) {}

bool StartupDecisions::DecideOs(StartupWindow& window) {
    OsVersionInfo version;
    const bool known = m_versions.GetVersion(version);
    m_decision = DecideOsFromVersion(known ? &version : nullptr);
    if (!m_decision.bSupported) {
        ShowFailure(window, m_decision.failureText);
        window.RequestClose();
        return false;
    }
    m_version = version;
    g_nOsKind = m_decision.nOsKind;
    m_sync.SetVistaOrLater(m_decision.bVistaOrLater);
    return true;
}

void StartupDecisions::DecideDownloadRamSize(StartupWindow& window) {
    const RamSizeDecision decision = DecideRamSize(m_strings);
    if (!decision.bDecided) {
        ShowFailure(window, kRamSizeFailedText);
        window.RequestClose();
    }
    m_dwDownloadRamSize = decision.dwDownloadRamSize;
}

void StartupDecisions::SetTitleAndSystemMenu(StartupWindow& window) {
    window.SetWindowTitle(m_strings.Load(kStringAppTitle));
    const std::string about = m_strings.Load(kStringAboutBox);
    if (!about.empty()) {
        window.AppendAboutMenuItem(about);
    }
}

void StartupDecisions::RegisterDeviceNotifications(StartupWindow& window) {
    uint32_t error = 0;
    if (!window.RegisterDeviceNotifications(error)) {
        window.ShowMessageBox(
            FormatEntry("HUB RegisterDeviceNotification failed: %d\n", static_cast<int>(error)),
            kRegistrationCaption);
        window.RequestClose();
    }
}

std::string StartupDecisions::OsSetupLine() const {
    return FormatOsSetupLine(m_version, m_decision.nOsKind);
}

void StartupDecisions::ShowFailure(StartupWindow& window, const std::string& text) {
    window.ShowMessageBox(text, m_strings.Load(kStringAppTitle));
}

}  // namespace varnel
