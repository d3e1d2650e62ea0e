#include "transport/linux/usb_context.h"

#include <libusb.h>

#include "transport/device_path.h"
#include "transport/linux/usb_ids.h"

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

std::string UsbDevicePathOf(libusb_device* device, libusb_device_handle* handle) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    std::string instance;
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
                instance = SanitiseSerial(std::string_view(reinterpret_cast<const char*>(serial),
                                                           static_cast<size_t>(length)));
            }
        }
        if (own != nullptr) {
            libusb_close(own);
        }
    }
    if (instance.empty()) {
        uint8_t ports[kMaxPortDepth] = {};
        const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
        instance = BusPortChain(libusb_get_bus_number(device), ports, depth > 0 ? depth : 0);
    }
    return UsbDevicePath(descriptor.idVendor, descriptor.idProduct, instance);
}

}  // namespace varnel
