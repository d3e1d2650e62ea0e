// Arrivals and removals of boot-loader USB devices (those of the match list) through libusb's
// hot-plug events, reported as device paths; other devices that arrive are reported as foreign. A
// device's path is worked out when it arrives (its serial can no longer be read once it has gone)
// and kept for its removal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/device_listeners.h"
#include "platform/linux/usb_context.h"
#include "transport/device_events.h"
#include "transport/usb_ids.h"

namespace varnel {

class UsbDeviceMonitor {
  public:
    UsbDeviceMonitor(std::shared_ptr<UsbContext> context, std::vector<UsbId> matchList);
    ~UsbDeviceMonitor();
    UsbDeviceMonitor(const UsbDeviceMonitor&) = delete;
    UsbDeviceMonitor& operator=(const UsbDeviceMonitor&) = delete;

    void AddListener(DeviceEventListener* listener) { m_listeners.Add(listener); }
    void RemoveListener(DeviceEventListener* listener) { m_listeners.Remove(listener); }

    // Starts listening; devices present now count as present, not as arrivals. False with
    // `error` set when libusb has no hot-plug support here.
    bool Start(std::string& error);
    // Reports an arrival for every matching device present now, in order with other events.
    void AnnouncePresent();
    // No listener is called after it returns.
    void Stop();

  private:
    enum class Change { kPresent, kArrived, kLeft, kAnnounce, kForeign };
    struct Event {
        Change change;
        libusb_device* device;  // referenced while queued
    };

    static int OnHotplug(libusb_context* context, libusb_device* device, int event, void* monitor);
    void Queue(Change change, libusb_device* device);
    void Run();
    void Handle(const Event& event);

    const std::shared_ptr<UsbContext> m_pContext;
    const std::vector<UsbId> m_MatchList;
    int m_nCallback = -1;
    // The thread registering the callback: the calls it gets are the devices already present.
    std::atomic<std::thread::id> m_RegisteringThread;

    std::mutex m_QueueMutex;
    std::condition_variable m_QueueChanged;
    std::deque<Event> m_queue;
    bool m_bStopping = false;
    std::thread m_thread;
    // Paths of the matching devices present, by device (reporting thread only).
    std::map<libusb_device*, std::string> m_known;
    DeviceListeners m_listeners;
};

}  // namespace varnel
