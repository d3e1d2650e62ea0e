// The attach handshake: binds a boot-loader device that has just arrived to the next free port.
// Runs on the window thread, inside the device-arrival handling.
#pragma once

#include <cstdint>
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
};

// The option-word bits the ticked options and the chosen image layouts ask for.
uint32_t AttachOptionBits(const DownloadJob& job);

// Takes the top of the free-port stack, opens its transport on the first free boot-loader
// device, checks the handshake, and marks the port attached. Every failure leaves the port free
// with its transport closed.
void AttachDevice(DownloadJob& job, AttachWindow& window, Clock& clock);

}  // namespace varnel
