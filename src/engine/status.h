// The status report a port worker sends to the window: a code, the port in the low 16 bits of
// the parameter and an argument in the high 16 bits. Sending waits until the window has handled
// the report.
#pragma once

#include <cstdint>

namespace varnel {

inline constexpr uint32_t WM_DOWNLOAD_STATUS = 2263;  // WM_USER + 0x4D7

enum StatusCode : uint32_t {
    kStatusEbootFlashing = 202,
    kStatusReconnect = 203,    // arg: attempt 1..20, or 100 on success
    kStatusRamProgress = 204,  // arg: percent
    kStatusChecksumWait = 205,
    kStatusFlashProgress = 206,  // arg: percent
    kStatusFlashNoAck = 208,     // arg: last progress
    kStatusReadError = 209,      // arg: 1 = file, other = device
    kStatusFlashFailed = 210,    // arg: percent
    kStatusChecksumError = 212,
    kStatusReconnectFailed = 216,
    kStatusWaitForBoot = 217,
    kStatusIntegratedError = 218,  // arg: 1 = file, other = device
    kStatusJobDone = 518,          // arg: 0 = launched
};

inline constexpr uint32_t StatusParam(int port, uint32_t argument) {
    return (static_cast<uint32_t>(port) & 0xFFFFu) | (argument << 16);
}
inline constexpr int StatusPort(uint32_t param) {
    return static_cast<int>(param & 0xFFFFu);
}
inline constexpr uint32_t StatusArgument(uint32_t param) {
    return param >> 16;
}

class StatusSink {
  public:
    virtual ~StatusSink() = default;
    // Delivers WM_DOWNLOAD_STATUS and returns once the window has handled it.
    virtual void SendDownloadStatus(uint32_t code, uint32_t param) = 0;
};

}  // namespace varnel
