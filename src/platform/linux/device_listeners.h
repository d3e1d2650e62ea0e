// The listeners a device monitor reports to: added and removed from any thread, and called
// outside the list's lock, so a listener may open or close transports while it is called.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "transport/device_events.h"

namespace varnel {

class DeviceListeners {
  public:
    void Add(DeviceEventListener* listener);
    void Remove(DeviceEventListener* listener);
    void Report(bool arrival, const std::string& path);
    void ReportForeign(const std::string& description);

  private:
    std::mutex m_mutex;
    std::vector<DeviceEventListener*> m_listeners;
};

}  // namespace varnel
