// One libusb context for the process, with a thread that runs its events: transfer completions
// of every USB transport and the hot-plug callbacks. Transports and monitors share it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

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

// The device path of a USB device: the serial string (sanitised) as the instance, or the
// bus-port chain when it has none or it cannot be read. The serial is read through `handle`
// when given, else through an open of the device made for the purpose.
std::string UsbDevicePathOf(libusb_device* device, libusb_device_handle* handle = nullptr);

}  // namespace varnel
