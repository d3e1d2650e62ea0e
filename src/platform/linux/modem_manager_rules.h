// Whether ModemManager may keep running while the bench works: it may when udev already keeps it
// off every device the bench could open, so no technician loses mobile broadband for nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/udev_tty.h"
#include "transport/usb_ids.h"

namespace varnel {

// What udev says about the bench's devices.
class UdevMarks {
  public:
    virtual ~UdevMarks() = default;
    // The USB devices and ttys present now whose id is in `ids`.
    virtual std::vector<UdevMatchingDevice> PresentDevices(const std::vector<UsbId>& ids) = 0;
    // The text of every rules file udev reads; a masked file adds none.
    virtual std::vector<std::string> InstalledRules() = 0;
};

// This system's udev: its database and its rules folders.
class SystemUdevMarks final : public UdevMarks {
  public:
    std::vector<UdevMatchingDevice> PresentDevices(const std::vector<UsbId>& ids) override;
    std::vector<std::string> InstalledRules() override;
};

// Whether a rule of `rules` sets ID_MM_DEVICE_IGNORE=1 on the device with this id, directly or
// through VARNEL_BOOTLOADER=1. Only exact idVendor/idProduct matches count; a rule matching by
// a pattern is not recognised, and the device is then treated as unmarked.
bool RulesKeepModemManagerOff(const std::vector<std::string>& rules, UsbId id);

// Why ModemManager may keep running, or nullopt when it must be stopped: it may when every
// matching device present carries ID_MM_DEVICE_IGNORE=1 and every id of the match list is
// either carried so by a present device or marked by the installed rules. An empty match list
// (ttys in a folder, whatever they are) gives no reason.
std::optional<std::string> ModemManagerLeftRunningReason(UdevMarks& udev,
                                                         const std::vector<UsbId>& ids);

}  // namespace varnel
