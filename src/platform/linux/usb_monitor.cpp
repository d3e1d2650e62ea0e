#include "platform/linux/usb_monitor.h"

#include <libusb.h>

#include <cstdio>

namespace varnel {

UsbDeviceMonitor::UsbDeviceMonitor(std::shared_ptr<UsbContext> context,
                                   std::vector<UsbId> matchList)
    : m_pContext(std::move(context)), m_MatchList(std::move(matchList)) {}

UsbDeviceMonitor::~UsbDeviceMonitor() {
    Stop();
}

bool UsbDeviceMonitor::Start(std::string& error) {
    if (m_thread.joinable()) {
        return true;
    }
    if (!m_pContext || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        error = "USB hot-plug events are not available";
        return false;
    }
    m_bStopping = false;
    m_thread = std::thread([this] { Run(); });
    // The registration reports the devices present now, on this thread, before it returns.
    m_RegisteringThread = std::this_thread::get_id();
    const int result = libusb_hotplug_register_callback(
        m_pContext->Get(),
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY,
        [](libusb_context* context, libusb_device* device, libusb_hotplug_event event,
           void* monitor) { return OnHotplug(context, device, event, monitor); },
        this, &m_nCallback);
    m_RegisteringThread = std::thread::id();
    if (result != LIBUSB_SUCCESS) {
        error = std::string("cannot listen for USB devices: ") + libusb_error_name(result);
        Stop();
        return false;
    }
    return true;
}

int UsbDeviceMonitor::OnHotplug(libusb_context*, libusb_device* device, int event, void* monitor) {
    auto* self = static_cast<UsbDeviceMonitor*>(monitor);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return 0;
    }
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    // A device that left is looked up by what was recorded when it came, so only arrivals
    // need to match the list here.
    const bool present = self->m_RegisteringThread.load() == std::this_thread::get_id();
    if (arrived && !MatchesUsbId(self->m_MatchList, descriptor.idVendor, descriptor.idProduct)) {
        if (!present) {
            self->Queue(Change::kForeign, device);
        }
        return 0;
    }
    // libusb_open is not to be called from inside a hot-plug callback: the reporting thread
    // works the path out.
    self->Queue(!arrived ? Change::kLeft : (present ? Change::kPresent : Change::kArrived), device);
    return 0;
}

void UsbDeviceMonitor::AnnouncePresent() {
    Queue(Change::kAnnounce, nullptr);
}

void UsbDeviceMonitor::Queue(Change change, libusb_device* device) {
    if (device != nullptr) {
        libusb_ref_device(device);
    }
    std::lock_guard lock(m_QueueMutex);
    m_queue.push_back({change, device});
    m_QueueChanged.notify_one();
}

void UsbDeviceMonitor::Stop() {
    if (m_nCallback >= 0) {
        libusb_hotplug_deregister_callback(m_pContext->Get(), m_nCallback);
        m_nCallback = -1;
    }
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_QueueMutex);
            m_bStopping = true;
            m_QueueChanged.notify_one();
        }
        m_thread.join();
    }
    for (const Event& event : m_queue) {
        if (event.device != nullptr) {
            libusb_unref_device(event.device);
        }
    }
    m_queue.clear();
    for (const auto& [device, path] : m_known) {
        libusb_unref_device(device);
    }
    m_known.clear();
}

void UsbDeviceMonitor::Run() {
    for (;;) {
        Event event{};
        {
            std::unique_lock lock(m_QueueMutex);
            m_QueueChanged.wait(lock, [&] { return m_bStopping || !m_queue.empty(); });
            if (m_bStopping) {
                return;
            }
            event = m_queue.front();
            m_queue.pop_front();
        }
        Handle(event);
    }
}

void UsbDeviceMonitor::Handle(const Event& event) {
    switch (event.change) {
        case Change::kAnnounce:
            for (const auto& [device, path] : m_known) {
                m_listeners.Report(true, path);
            }
            return;
        case Change::kPresent:
        case Change::kArrived: {
            if (m_known.count(event.device) != 0) {
                libusb_unref_device(event.device);
                return;
            }
            const std::string path = UsbDevicePathOf(event.device);
            m_known.emplace(event.device, path);  // keeps the reference until it leaves
            if (event.change == Change::kArrived) {
                m_listeners.Report(true, path);
            }
            return;
        }
        case Change::kForeign: {
            libusb_device_descriptor descriptor{};
            libusb_get_device_descriptor(event.device, &descriptor);
            // Named by where it is plugged in: a foreign device is never opened, not even for
            // its serial.
            uint8_t ports[7] = {};
            const int depth = libusb_get_port_numbers(event.device, ports, 7);
            const std::string chain =
                BusPortChain(libusb_get_bus_number(event.device), ports, depth > 0 ? depth : 0);
            char ids[16];
            std::snprintf(ids, sizeof ids, "%04x:%04x", descriptor.idVendor, descriptor.idProduct);
            libusb_unref_device(event.device);
            m_listeners.ReportForeign("USB device " + chain + " (" + ids + ")");
            return;
        }
        case Change::kLeft: {
            const auto known = m_known.find(event.device);
            if (known != m_known.end()) {
                const std::string path = known->second;
                libusb_unref_device(known->first);
                m_known.erase(known);
                m_listeners.Report(false, path);
            }
            libusb_unref_device(event.device);
            return;
        }
    }
}

}  // namespace varnel
