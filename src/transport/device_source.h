// The real devices a bench's ports reach, as a platform finds and follows them: it makes the
// ports' transports, reports arrivals and removals, and lists what is present. Every front end
// with real handsets gets its transports and its device events from one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transport/device_events.h"
#include "transport/listed_device.h"
#include "transport/usb_interface.h"

namespace varnel {

class DeviceSource {
  public:
    // A transport's message for the operator; called from whichever thread opened the device.
    using MessageCallback = std::function<void(const std::string& text)>;
    // (key, text) pairs: warnings about a handset's place on the USB tree.
    using TopologyWarningList = std::vector<std::pair<std::string, std::string>>;

    virtual ~DeviceSource() = default;

    // Before the first transport is made. False with `error`.
    virtual bool Prepare(std::string& error) = 0;
    // Whether the ports take the file-handle transport; else the WinUSB one.
    virtual bool FileHandleTransport() const = 0;
    virtual std::unique_ptr<CUsbInterface> MakeTransport() = 0;
    // Starts reporting arrivals and removals to `events`; false with the system's error code.
    virtual bool Register(DeviceEventListener& events, uint32_t& errorCode) = 0;
    // Reports every device present now as arriving, in order with the events around it.
    virtual void AnnouncePresent() = 0;
    // No event is reported after it returns.
    virtual void Stop() = 0;
    // Why the host's sync software may keep running while the bench works; nullopt: it is
    // stopped.
    virtual std::optional<std::string> SyncSoftwareLeftRunning() const = 0;
    // Warnings about the handset at `portPath` beside the others attached; none where the
    // platform cannot tell.
    virtual TopologyWarningList TopologyWarnings(
        const std::string& portPath, const std::vector<std::string>& attachedPortPaths) const = 0;
    // Every matching device present now (after Prepare); `portHolding` names the port that holds
    // a device path, -1 for none.
    virtual std::vector<ListedDevice> ListPresent(
        const std::function<int(const std::string&)>& portHolding) = 0;
};

// Marks the listed devices that a port holds: openable as far as this program is concerned.
void MarkAttached(std::vector<ListedDevice>& devices,
                  const std::function<int(const std::string&)>& portHolding);

}  // namespace varnel
