// The version of the OS the tool runs on, as the start-up decisions read it; each platform
// provides it.
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

enum class OsFamily { kWindows, kLinux };

struct OsVersionInfo {
    OsFamily family = OsFamily::kWindows;
    uint32_t dwMajorVersion = 0;
    uint32_t dwMinorVersion = 0;
    std::string strRelease;  // the kernel release on Linux
};

class OsVersionProvider {
  public:
    virtual ~OsVersionProvider() = default;
    // False when the version cannot be read.
    virtual bool GetVersion(OsVersionInfo& version) = 0;
};

}  // namespace varnel
