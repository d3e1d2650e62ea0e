#include "platform/linux/udev_tty.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transport/device_path.h"

namespace varnel {

namespace {

std::string Property(const UdevProperties& properties, const std::string& key) {
    const auto found = properties.find(key);
    return found == properties.end() ? std::string() : found->second;
}

UdevProperties PropertiesOf(udev_device* device) {
    UdevProperties properties;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
        const char* name = udev_list_entry_get_name(entry);
        const char* value = udev_list_entry_get_value(entry);
        if (name != nullptr) {
            properties[name] = value != nullptr ? value : "";
        }
    }
    return properties;
}

// A tty record, when it is one of a USB device.
std::optional<UdevTty> UsbTtyOf(udev_device* device) {
    const char* name = udev_device_get_sysname(device);
    const char* node = udev_device_get_devnode(device);
    if (name == nullptr || node == nullptr) {
        return std::nullopt;
    }
    UdevTty tty{name, node, PropertiesOf(device)};
    if (Property(tty.properties, "ID_BUS") != "usb" && !UsbIdOfProperties(tty.properties)) {
        return std::nullopt;
    }
    return tty;
}

}  // namespace

std::optional<UsbId> UsbIdOfProperties(const UdevProperties& properties) {
    return ParseUsbId(Property(properties, "ID_VENDOR_ID") + ":" +
                      Property(properties, "ID_MODEL_ID"));
}

std::string BusPortChainOfDevpath(std::string_view devpath) {
    // ".../usb1/1-2/1-2.3/1-2.3:1.0/tty/ttyACM0": the chain is the USB device above the
    // interface, the last element of the form BUS-PORT[.PORT...].
    std::string chain;
    size_t start = 0;
    while (start < devpath.size()) {
        size_t end = devpath.find('/', start);
        if (end == std::string_view::npos) {
            end = devpath.size();
        }
        const std::string_view element = devpath.substr(start, end - start);
        const size_t dash = element.find('-');
        const bool isChain =
            dash != std::string_view::npos && dash > 0 && dash + 1 < element.size() &&
            element.find_first_not_of("0123456789") == dash &&
            element.substr(dash + 1).find_first_not_of("0123456789.") == std::string_view::npos &&
            element.back() != '.';
        if (isChain) {
            chain = element;
        }
        start = end + 1;
    }
    return chain;
}

DeviceIdentity IdentityOfProperties(const UdevProperties& properties) {
    std::string portPath = BusPortChainOfDevpath(Property(properties, "DEVPATH"));
    if (portPath.empty()) {
        portPath = Property(properties, "ID_PATH");
    }
    return {SanitiseSerial(Property(properties, "ID_SERIAL_SHORT")), std::move(portPath)};
}

std::vector<UdevTty> UdevUsbTtys() {
    std::vector<UdevTty> ttys;
    udev* context = udev_new();
    if (context == nullptr) {
        return ttys;
    }
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "tty") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device* device =
                udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (device == nullptr) {
                continue;
            }
            if (auto tty = UsbTtyOf(device)) {
                ttys.push_back(std::move(*tty));
            }
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
    std::sort(ttys.begin(), ttys.end(),
              [](const UdevTty& a, const UdevTty& b) { return a.strName < b.strName; });
    return ttys;
}

std::vector<UdevTty> MatchingTtys(const std::vector<UdevTty>& ttys, const std::vector<UsbId>& ids) {
    std::vector<UdevTty> matching;
    for (const UdevTty& tty : ttys) {
        const std::optional<UsbId> id = UsbIdOfProperties(tty.properties);
        if (id && MatchesUsbId(ids, id->vendorId, id->productId)) {
            matching.push_back(tty);
        }
    }
    return matching;
}

std::vector<UdevMatchingDevice> UdevMatchingDevices(const std::vector<UsbId>& ids) {
    std::vector<UdevMatchingDevice> devices;
    const auto ignored = [](const UdevProperties& properties) {
        return Property(properties, "ID_MM_DEVICE_IGNORE") == "1";
    };
    for (const UdevTty& tty : MatchingTtys(UdevUsbTtys(), ids)) {
        devices.push_back(
            {tty.strName, *UsbIdOfProperties(tty.properties), ignored(tty.properties)});
    }
    udev* context = udev_new();
    if (context == nullptr) {
        return devices;
    }
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "usb") >= 0 &&
        udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device") >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device* device =
                udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (device == nullptr) {
                continue;
            }
            const char* name = udev_device_get_sysname(device);
            const char* vendor = udev_device_get_sysattr_value(device, "idVendor");
            const char* product = udev_device_get_sysattr_value(device, "idProduct");
            const std::optional<UsbId> id = vendor != nullptr && product != nullptr
                                                ? ParseUsbId(std::string(vendor) + ":" + product)
                                                : std::nullopt;
            if (name != nullptr && id && MatchesUsbId(ids, id->vendorId, id->productId)) {
                devices.push_back({name, *id, ignored(PropertiesOf(device))});
            }
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
    return devices;
}

DeviceIdentity UdevIdentityOfNode(const std::string& node) {
    struct stat status {};
    if (::stat(node.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return {};
    }
    udev* context = udev_new();
    if (context == nullptr) {
        return {};
    }
    DeviceIdentity identity;
    if (udev_device* device = udev_device_new_from_devnum(context, 'c', status.st_rdev)) {
        identity = IdentityOfProperties(PropertiesOf(device));
        udev_device_unref(device);
    }
    udev_unref(context);
    return identity;
}

UdevTtyMonitor::UdevTtyMonitor(std::vector<UsbId> matchList) : m_MatchList(std::move(matchList)) {}

UdevTtyMonitor::~UdevTtyMonitor() {
    Stop();
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
}

bool UdevTtyMonitor::Start() {
    if (m_thread.joinable()) {
        return true;
    }
    m_udev = m_udev != nullptr ? m_udev : udev_new();
    if (m_udev != nullptr && m_monitor == nullptr) {
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (m_monitor != nullptr &&
            (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
             udev_monitor_enable_receiving(m_monitor) < 0)) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
    }
    if (m_monitor == nullptr || !m_wake.Create()) {
        std::fprintf(stderr, "Cannot listen to udev for tty devices\n");
        return false;
    }
    for (const UdevTty& tty : MatchingTtys(UdevUsbTtys(), m_MatchList)) {
        m_known.insert(tty.strName);
    }
    m_bStopping = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void UdevTtyMonitor::AnnouncePresent() {
    m_bAnnounce = true;
    m_wake.Signal();
}

void UdevTtyMonitor::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_bStopping = true;
    m_wake.Signal();
    m_thread.join();
}

void UdevTtyMonitor::Run() {
    const int monitorFd = udev_monitor_get_fd(m_monitor);
    while (!m_bStopping) {
        if (m_bAnnounce.exchange(false)) {
            for (const std::string& name : m_known) {
                m_listeners.Report(true, TtyDevicePath(name));
            }
        }
        pollfd fds[2] = {{monitorFd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (m_bStopping) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(m_wake.Fd(), &count, sizeof count);
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            continue;
        }
        const char* action = udev_device_get_action(device);
        if (auto tty = UsbTtyOf(device); tty && action != nullptr) {
            HandleDevice(action, *tty);
        }
        udev_device_unref(device);
    }
}

void UdevTtyMonitor::HandleDevice(const std::string& action, const UdevTty& tty) {
    if (action == "remove") {
        if (m_known.erase(tty.strName) != 0) {
            m_listeners.Report(false, TtyDevicePath(tty.strName));
        }
        return;
    }
    if (action != "add") {
        return;
    }
    const std::optional<UsbId> id = UsbIdOfProperties(tty.properties);
    if (id && MatchesUsbId(m_MatchList, id->vendorId, id->productId)) {
        if (m_known.insert(tty.strName).second) {
            m_listeners.Report(true, TtyDevicePath(tty.strName));
        }
    } else {
        char ids[16] = "?";
        if (id) {
            std::snprintf(ids, sizeof ids, "%04x:%04x", id->vendorId, id->productId);
        }
        m_listeners.ReportForeign(tty.strNode + " (USB " + ids + ")");
    }
}

}  // namespace varnel
