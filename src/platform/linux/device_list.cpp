#include "platform/linux/device_list.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/fd_util.h"
#include "platform/linux/tty_interface.h"
#include "platform/linux/udev_tty.h"
#include "platform/linux/usb_context.h"
#include "transport/device_path.h"

namespace varnel {

namespace {

constexpr const char* kNoPermission =
    "no permission (install the udev rules, or join the group plugdev)";
constexpr const char* kInUse = "in use by another port or program";

std::string UsbIdText(uint16_t vendorId, uint16_t productId) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "%04x:%04x", vendorId, productId);
    return text;
}

void SetOpenable(ListedDevice& device, std::string whyNot) {
    device.bOpenable = whyNot.empty();
    device.strWhyNot = std::move(whyNot);
}

ListedDevice ListedTty(const std::string& name, const std::string& node,
                       const DeviceIdentity& identity, const std::string& usbId) {
    ListedDevice device;
    device.strDevicePath = TtyDevicePath(name);
    device.identity = identity;
    device.strUsbId = usbId;
    device.strTransport = "tty";
    SetOpenable(device, WhyTtyNotOpenable(node));
    return device;
}

std::string SpeedName(int speed) {
    switch (speed) {
        case LIBUSB_SPEED_LOW:
            return "low";
        case LIBUSB_SPEED_FULL:
            return "full";
        case LIBUSB_SPEED_HIGH:
            return "high";
        case LIBUSB_SPEED_SUPER:
        case LIBUSB_SPEED_SUPER_PLUS:
            return "super";
        default:
            return "";
    }
}

// Opens the device and claims its interface without taking it from a kernel driver, then lets
// it go again.
std::string WhyUsbNotOpenable(libusb_device* device) {
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened == LIBUSB_ERROR_ACCESS) {
        return kNoPermission;
    }
    if (opened != LIBUSB_SUCCESS) {
        return libusb_strerror(opened);
    }
    std::string whyNot;
    const int claimed = libusb_claim_interface(handle, 0);
    if (claimed == LIBUSB_ERROR_BUSY) {
        whyNot = kInUse;
    } else if (claimed != LIBUSB_SUCCESS) {
        whyNot = libusb_strerror(claimed);
    } else {
        libusb_release_interface(handle, 0);
    }
    libusb_close(handle);
    return whyNot;
}

}  // namespace

std::string WhyTtyNotOpenable(const std::string& node) {
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno == EACCES || errno == EPERM) {
            return kNoPermission;
        }
        return errno == EBUSY ? kInUse : std::strerror(errno);
    }
    if (!::isatty(fd.Get())) {
        return "not a tty";
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return kInUse;
    }
    return "";
}

std::vector<ListedDevice> ListUdevTtys(const std::vector<UsbId>& ids) {
    std::vector<ListedDevice> devices;
    for (const UdevTty& tty : MatchingTtys(UdevUsbTtys(), ids)) {
        const std::optional<UsbId> id = UsbIdOfProperties(tty.properties);
        devices.push_back(ListedTty(tty.strName, tty.strNode, IdentityOfProperties(tty.properties),
                                    id ? UsbIdText(id->vendorId, id->productId) : ""));
    }
    return devices;
}

std::vector<ListedDevice> ListTtyFolder(const std::string& directory) {
    std::vector<ListedDevice> devices;
    for (const std::string& name : ListTtyEntries(directory)) {
        devices.push_back(
            ListedTty(name, directory + "/" + name, FolderEntryIdentity(directory, name), ""));
    }
    return devices;
}

std::vector<ListedDevice> ListUsbDevices(libusb_context* context, const std::vector<UsbId>& ids) {
    std::vector<ListedDevice> devices;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t index = 0; index < count; ++index) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[index], &descriptor) != LIBUSB_SUCCESS ||
            !MatchesUsbId(ids, descriptor.idVendor, descriptor.idProduct)) {
            continue;
        }
        ListedDevice device;
        device.identity = UsbDeviceIdentityOf(list[index]);
        device.strDevicePath =
            UsbDevicePath(descriptor.idVendor, descriptor.idProduct, UsbInstance(device.identity));
        device.strUsbId = UsbIdText(descriptor.idVendor, descriptor.idProduct);
        device.strTransport = "libusb";
        device.strSpeed = SpeedName(libusb_get_device_speed(list[index]));
        SetOpenable(device, WhyUsbNotOpenable(list[index]));
        devices.push_back(std::move(device));
    }
    if (count > 0) {
        libusb_free_device_list(list, 1);
    }
    return devices;
}

}  // namespace varnel
