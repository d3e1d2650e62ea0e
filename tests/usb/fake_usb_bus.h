// Boot-loader USB devices emulated under umockdev for the libusb transport: each device is a
// sysfs record with its descriptors and a usbfs node whose ioctls (claims, URBs, control
// transfers for the serial string) are answered here, its bulk pipes connected to a virtual
// handset. The process must run with umockdev's preload library (see tests.cmake), and the bus
// must exist before libusb is initialised.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_bus.h"
#include "sim/virtual_handset.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace varnel::test {

struct FakeUsbDeviceConfig {
    uint16_t vendorId = kSimVendorId;
    uint16_t productId = kSimProductId;
    std::string serial;  // empty: the device has no serial string
    // The hub port the device sits on (its sysfs name is "1-PORT" on bus 1).
    int port = 1;
    // Types of pipe index 0 (IN) and 1 (OUT); 2 bulk, 3 interrupt.
    uint8_t pipeInType = 2;
    uint8_t pipeOutType = 2;
    int endpoints = 2;
    HandsetConfig handset;
};

class FakeUsbDevice;

class FakeUsbBus {
  public:
    FakeUsbBus();
    ~FakeUsbBus();
    FakeUsbBus(const FakeUsbBus&) = delete;
    FakeUsbBus& operator=(const FakeUsbBus&) = delete;

    // True when the process runs under umockdev's preload; without it nothing can be emulated.
    static bool Available();

    // Plugs a device in (a hot-plug arrival for a libusb already running); null on failure.
    FakeUsbDevice* Plug(const FakeUsbDeviceConfig& config);
    // Takes it off the bus: transfers in progress end as on a real unplug, later calls fail.
    void Unplug(FakeUsbDevice* device);
    // A tty record as udev keeps it for a USB serial function, with `properties` ("KEY=VALUE");
    // its node is not a usable tty.
    bool AddTty(const std::string& name, const std::vector<std::string>& properties);
    // Takes a tty that AddTty made away again, announcing its removal.
    void RemoveTty(const std::string& name);

  private:
    UMockdevTestbed* testbed_ = nullptr;
    std::vector<std::unique_ptr<FakeUsbDevice>> devices_;
    int nextDevnum_ = 2;
};

class FakeUsbDevice {
  public:
    ~FakeUsbDevice();
    VirtualHandset& Handset() { return *handset_; }
    const std::string& SysfsPath() const { return sysfsPath_; }
    // Interface claims ever refused because another open held it.
    int RefusedClaims() const;

  private:
    friend class FakeUsbBus;
    struct State;
    FakeUsbDevice();

    std::string sysfsPath_;
    std::string devnode_;
    std::shared_ptr<VirtualHandset> handset_;
    std::unique_ptr<State> state_;
};

}  // namespace varnel::test
