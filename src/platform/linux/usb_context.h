// One libusb context for the process, with a thread that runs its events: transfer completions
// of every USB transport and the hot-plug callbacks. Transports and monitors share it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "transport/usb_interface.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace varnel {

class UsbContext {
  public:
    // Null with `error` set when libusb cannot be initialised.
    static std::shared_ptr<UsbContext> Create(std::string& error);
    ~UsbContext();
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    libusb_context* Get() const { return m_context; }

  private:
    explicit UsbContext(libusb_context* context);
    void RunEvents();

    libusb_context* const m_context;
    std::atomic<bool> m_bStopping{false};
    std::thread m_eventThread;
};

// Serial string (sanitised; empty when it has none or it cannot be read) and bus-port chain of a
// USB device. The serial is read through `handle` when given, else through an open of the
// device made for the purpose.
DeviceIdentity UsbDeviceIdentityOf(libusb_device* device, libusb_device_handle* handle = nullptr);

// The device path of a USB device: "SERIAL@CHAIN" as the instance, or the bus-port chain alone
// when there is no serial. The chain keeps two handsets that share a serial apart, and a
// handset that reattaches on the same port gets its old path back.
std::string UsbDevicePathOf(libusb_device* device, libusb_device_handle* handle = nullptr);
std::string UsbInstance(const DeviceIdentity& identity);

}  // namespace varnel
