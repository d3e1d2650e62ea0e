// A bench on real devices: the ports' setup from a platform's device source, the operator's
// listing of what is present, and the transports' messages shown by the window.
#pragma once

#include <string>
#include <vector>

#include "app/bench_application.h"
#include "transport/device_source.h"
#include "transport/listed_device.h"
#include "ui/dialog_view.h"
#include "ui/window_thread.h"

namespace varnel {

// The listing as an operator reads it (one device a line) and as JSON.
std::string DeviceListText(const std::vector<ListedDevice>& devices);
std::string DeviceListJson(const std::vector<ListedDevice>& devices);

// Ports on these devices; the host's sync software is stopped during a job unless kept.
BenchSetup DeviceBenchSetup(DeviceSource& devices, bool keepSyncSoftware);

// A message box on the window's thread, shown at once from it and posted from any other.
DeviceSource::MessageCallback WindowMessageBox(DialogView& view, WindowThread& window,
                                               std::string caption);

}  // namespace varnel
