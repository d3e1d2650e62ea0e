#include "transport/device_source.h"

namespace varnel {

void MarkAttached(std::vector<ListedDevice>& devices,
                  const std::function<int(const std::string&)>& portHolding) {
    for (ListedDevice& device : devices) {
        device.nAttachedPort = portHolding ? portHolding(device.strDevicePath) : -1;
        if (device.nAttachedPort >= 0) {
            // Its own port holds it: openable as far as this program is concerned.
            device.bOpenable = true;
            device.strWhyNot.clear();
        }
    }
}

}  // namespace varnel
