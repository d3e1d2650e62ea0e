// Arrival and removal of boot-loader devices, as the device monitors (and the simulated bus)
// report them to whoever assigns ports.
#pragma once

#include <string>

namespace varnel {

// Called from whichever thread noticed the change, never under the reporter's own lock, so a
// listener may open or close transports from inside the call.
class DeviceEventListener {
  public:
    virtual ~DeviceEventListener() = default;
    virtual void OnDeviceArrival(const std::string& path) = 0;
    virtual void OnDeviceRemoval(const std::string& path) = 0;
    // A USB device arrived whose vendor:product id is not in the match list: it is left alone,
    // and `description` names it so that the operator learns why.
    virtual void OnForeignDevice(const std::string& /*description*/) {}
};

}  // namespace varnel
