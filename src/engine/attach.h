// The attach handshake: binds a boot-loader device that has just arrived to the next free port.
// Runs on the window thread, inside the device-arrival handling.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/download_job.h"

namespace varnel {

class Clock;
class MainLogSink;

inline constexpr int kAttachAttempts = 3;
inline constexpr uint32_t kAttachRetryPauseMs = 50;

// What the attach changes on the window besides the job record.
class AttachWindow {
  public:
    virtual ~AttachWindow() = default;
    virtual MainLogSink& MainLog() = 0;
    virtual void AppendPortLogText(int port, std::string_view entry) = 0;
    // Caption green, progress text "Ready to download...".
    virtual void ShowPortAttached(int port) = 0;
    // Queues the "Start downloading" command behind the current message.
    virtual void PostStartDownloading() = 0;
    virtual void EnableStartDownloading() = 0;
    // Who the handset on an attached port is (the row's tooltip).
    virtual void ShowPortIdentity(int port, const DeviceIdentity& identity) = 0;
};

enum class AttachResult {
    kAttached,
    kNoFreePort,
    kNotOpened,      // gone, or held by another port
    kAccessDenied,   // the system refused to open it
    kSameDevice,     // already attached on another port
    kNoAcknowledge,  // opened, but never answered the handshake
    kNotChosen,      // not among the chosen devices: left alone
    kSlotTaken       // its socket's port, or every port no socket is pinned to, is taken
};

// "serial R58M123, port 1-2.3", with "-" for what is not known.
std::string IdentityText(const DeviceIdentity& identity);

// The option-word bits the ticked options and the chosen image layouts ask for.
uint32_t AttachOptionBits(const DownloadJob& job);

// Takes the free port for the device (the one its USB socket is pinned to, else the free port
// nearest the top of the stack that no socket is pinned to), opens its transport on the device at
// `devicePath` (the one whose arrival was reported, never another), checks the handshake, and marks
// the port attached. Every failure leaves the port free with its transport closed.
AttachResult AttachDevice(DownloadJob& job, AttachWindow& window, Clock& clock,
                          const std::string& devicePath);

}  // namespace varnel
