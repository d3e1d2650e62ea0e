#include "platform/linux/usb_context.h"

#include <libusb.h>

#include "transport/device_path.h"
#include "transport/usb_ids.h"

namespace varnel {

namespace {

constexpr int kMaxPortDepth = 7;

}  // namespace

std::shared_ptr<UsbContext> UsbContext::Create(std::string& error) {
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (result != LIBUSB_SUCCESS) {
        error = std::string("libusb cannot start: ") + libusb_error_name(result);
        return nullptr;
    }
    return std::shared_ptr<UsbContext>(new UsbContext(context));
}

UsbContext::UsbContext(libusb_context* context) : m_context(context) {
    m_eventThread = std::thread([this] { RunEvents(); });
}

UsbContext::~UsbContext() {
    m_bStopping = true;
    libusb_interrupt_event_handler(m_context);
    m_eventThread.join();
    libusb_exit(m_context);
}

void UsbContext::RunEvents() {
    while (!m_bStopping) {
        timeval limit{1, 0};
        libusb_handle_events_timeout_completed(m_context, &limit, nullptr);
    }
}

DeviceIdentity UsbDeviceIdentityOf(libusb_device* device, libusb_device_handle* handle) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    DeviceIdentity identity;
    if (descriptor.iSerialNumber != 0) {
        libusb_device_handle* own = nullptr;
        if (handle == nullptr && libusb_open(device, &own) == LIBUSB_SUCCESS) {
            handle = own;
        }
        unsigned char serial[256] = {};
        if (handle != nullptr) {
            const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                                  serial, sizeof serial - 1);
            if (length > 0) {
                identity.strSerial = SanitiseSerial(std::string_view(
                    reinterpret_cast<const char*>(serial), static_cast<size_t>(length)));
            }
        }
        if (own != nullptr) {
            libusb_close(own);
        }
    }
    uint8_t ports[kMaxPortDepth] = {};
    const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    identity.strPortPath =
        BusPortChain(libusb_get_bus_number(device), ports, depth > 0 ? depth : 0);
    return identity;
}

std::string UsbInstance(const DeviceIdentity& identity) {
    return identity.strSerial.empty() ? identity.strPortPath
                                      : identity.strSerial + "@" + identity.strPortPath;
}

std::string UsbDevicePathOf(libusb_device* device, libusb_device_handle* handle) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    return UsbDevicePath(descriptor.idVendor, descriptor.idProduct,
                         UsbInstance(UsbDeviceIdentityOf(device, handle)));
}

}  // namespace varnel
