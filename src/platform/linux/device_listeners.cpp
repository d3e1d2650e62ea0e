#include "platform/linux/device_listeners.h"

#include <algorithm>

namespace varnel {

void DeviceListeners::Add(DeviceEventListener* listener) {
    std::lock_guard lock(m_mutex);
    m_listeners.push_back(listener);
}

void DeviceListeners::Remove(DeviceEventListener* listener) {
    std::lock_guard lock(m_mutex);
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener),
                      m_listeners.end());
}

void DeviceListeners::Report(bool arrival, const std::string& path) {
    std::vector<DeviceEventListener*> listeners;
    {
        std::lock_guard lock(m_mutex);
        listeners = m_listeners;
    }
    for (DeviceEventListener* listener : listeners) {
        if (arrival) {
            listener->OnDeviceArrival(path);
        } else {
            listener->OnDeviceRemoval(path);
        }
    }
}

void DeviceListeners::ReportForeign(const std::string& description) {
    std::vector<DeviceEventListener*> listeners;
    {
        std::lock_guard lock(m_mutex);
        listeners = m_listeners;
    }
    for (DeviceEventListener* listener : listeners) {
        listener->OnForeignDevice(description);
    }
}

}  // namespace varnel
