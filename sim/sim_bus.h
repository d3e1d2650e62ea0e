// The simulated device bus: virtual handsets plugged in, found by device path, opened by one
// transport at a time, unplugged, and reattaching after a boot-loader write.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/reply_queue.h"
#include "sim/virtual_handset.h"
#include "transport/device_events.h"
#include "transport/usb_ids.h"
#include "transport/usb_interface.h"

namespace varnel {

class Clock;
class SimBus;

// Device path of a simulated handset with the given instance (serial) part.
std::string SimDevicePath(const std::string& instance);

// One open of one device by one transport. Writes go straight to the handset under this
// connection's lock; its replies wait here until read.
class SimConnection {
  public:
    struct Device;

    SimConnection(SimBus& bus, std::shared_ptr<Device> device);

    // All `size` bytes, or 0 when closed, gone, or the device vanished during the write.
    uint32_t Write(const void* data, uint32_t size);
    // At least 1 and at most `size` bytes as soon as they are readable, waiting at most
    // `timeoutMs`; 0 at once when closed or gone with nothing left to read.
    uint32_t Read(void* buffer, uint32_t size, uint32_t timeoutMs);
    // Wakes a blocked reader and frees the device for other transports.
    void Close();
    // The device left the bus: later calls fail at once, except that replies it sent before
    // leaving (when `keepReplies`) can still be read.
    void MarkGone(bool keepReplies);

  private:
    SimBus& bus_;
    const std::shared_ptr<Device> device_;
    bool timed_ = false;  // the handset holds replies back for a while
    std::mutex mutex_;
    std::condition_variable readable_;
    ReplyQueue replies_;
    int waitingReaders_ = 0;
    bool closed_ = false;
    bool gone_ = false;
};

class SimBus {
  public:
    // Reattach delays are measured on `clock`, so a reconnect loop that sleeps through a fake
    // clock sees the device come back without real waiting. The bus must outlive its
    // transports.
    explicit SimBus(Clock& clock);
    ~SimBus();
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    // Plugs a handset in under SimDevicePath(its instance) and reports its arrival. Empty when a
    // device with that path is already on the bus (or due back there). Each plug takes the next
    // port of the simulated hub: port path "sim-1.1", "sim-1.2", ...
    std::string Plug(std::shared_ptr<VirtualHandset> handset);
    // Takes the device off the bus for good; a transport holding it fails from then on.
    bool Unplug(const std::string& path);

    // Devices present now, in plug order; a device back from a reattach keeps its place.
    std::vector<std::string> PresentPaths();
    bool IsPresent(const std::string& path);
    std::shared_ptr<VirtualHandset> Handset(const std::string& path);
    // Brings back reattaching devices whose time has come, reporting their arrival.
    void Poll();

    void AddListener(DeviceEventListener* listener);
    void RemoveListener(DeviceEventListener* listener);

    // For transports: opens the device with exactly `path`, or without a path the first present
    // device no transport holds; null when there is none. `opened` receives its path and
    // identity (the handset's instance as serial, and its hub port).
    std::shared_ptr<SimConnection> Open(const std::optional<std::string>& path,
                                        std::string& openedPath, DeviceIdentity& identity);

  private:
    friend class SimConnection;
    struct Event {
        bool arrival;
        std::string path;
    };

    void Release(const std::shared_ptr<SimConnection::Device>& device, const SimConnection* holder);
    void Depart(const std::shared_ptr<SimConnection::Device>& device, const SimConnection* holder,
                const HostWriteResult& result);
    // Marks returned devices present; the caller holds mutex_.
    void BringBackLocked(std::vector<Event>& events);
    std::shared_ptr<SimConnection::Device> FindLocked(const std::string& path) const;
    void Report(const std::vector<Event>& events);

    Clock& clock_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimConnection::Device>> devices_;  // plug order
    std::vector<DeviceEventListener*> listeners_;
    int plugs_ = 0;
};

}  // namespace varnel
