#include "app/bench_devices.h"

#include <nlohmann/json.hpp>

namespace varnel {

std::string DeviceListText(const std::vector<ListedDevice>& devices) {
    const auto known = [](const std::string& text) { return text.empty() ? "-" : text; };
    std::string text;
    for (const ListedDevice& device : devices) {
        text += device.strDevicePath + "\n  serial " + known(device.identity.strSerial) +
                ", port path " + known(device.identity.strPortPath) + ", id " +
                known(device.strUsbId) + ", " + device.strTransport;
        if (!device.strSpeed.empty()) {
            text += ", " + device.strSpeed + " speed";
        }
        text += device.bOpenable ? ", can be opened" : ", cannot be opened: " + device.strWhyNot;
        text += device.nAttachedPort >= 0
                    ? ", attached to port " + std::to_string(device.nAttachedPort) + "\n"
                    : ", not attached\n";
    }
    if (devices.empty()) {
        text = "No matching device present.\n";
    }
    return text;
}

std::string DeviceListJson(const std::vector<ListedDevice>& devices) {
    nlohmann::json list = nlohmann::json::array();
    const auto textOrNull = [](const std::string& text) {
        return text.empty() ? nlohmann::json() : nlohmann::json(text);
    };
    for (const ListedDevice& device : devices) {
        list.push_back(
            {{"device", device.strDevicePath},
             {"serial", textOrNull(device.identity.strSerial)},
             {"port_path", textOrNull(device.identity.strPortPath)},
             {"usb_id", textOrNull(device.strUsbId)},
             {"transport", device.strTransport},
             {"speed", textOrNull(device.strSpeed)},
             {"openable", device.bOpenable},
             {"why_not", textOrNull(device.strWhyNot)},
             {"attached_port", device.nAttachedPort >= 0 ? nlohmann::json(device.nAttachedPort)
                                                         : nlohmann::json()}});
    }
    return nlohmann::json({{"devices", list}}).dump(2) + "\n";
}

BenchSetup DeviceBenchSetup(DeviceSource& devices, bool keepSyncSoftware) {
    BenchSetup setup;
    setup.transportClass = devices.FileHandleTransport() ? TransportClass::kUsbInterface
                                                         : TransportClass::kWinUsbInterface;
    setup.bControlSyncSoftware = !keepSyncSoftware;
    setup.syncSoftwareLeftRunning = [&devices] { return devices.SyncSoftwareLeftRunning(); };
    setup.makeTransport = [&devices] { return devices.MakeTransport(); };
    setup.registerDevices = [&devices](DeviceEventListener& events, uint32_t& errorCode) {
        return devices.Register(events, errorCode);
    };
    setup.topologyWarnings = [&devices](const std::string& portPath,
                                        const std::vector<std::string>& attachedPortPaths) {
        return devices.TopologyWarnings(portPath, attachedPortPaths);
    };
    return setup;
}

DeviceSource::MessageCallback WindowMessageBox(DialogView& view, WindowThread& window,
                                               std::string caption) {
    return [&view, &window, caption = std::move(caption)](const std::string& text) {
        const auto show = [&view, caption, text] {
            view.MessageBox(text, caption, MessageIcon::kExclamation, MessageButtons::kOk);
        };
        if (window.IsWindowThread()) {
            show();
        } else {
            window.Post(show);
        }
    };
}

}  // namespace varnel
