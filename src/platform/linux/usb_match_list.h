// The match list of a Linux bench: the simulator's id, the ids of the package's file, of the
// environment and of the command line.
#pragma once

#include <string>
#include <vector>

#include "transport/usb_ids.h"

namespace varnel {

// The bench's own boot-loader ids, kept by the package across upgrades.
inline constexpr char kUsbIdsFile[] = "/etc/varnel/usb-ids";

// Appends the id texts of a usb-ids file to `texts`: separated by commas, blanks or line ends,
// '#' starting a comment to the end of its line. A missing file adds none; false with `error`
// when it cannot be read, is larger than 64 KiB or holds a malformed id.
bool ReadUsbIdsFile(const char* path, std::vector<std::string>& texts, std::string& error);

// The ids to match: the simulator's, then those of /etc/varnel/usb-ids, of VARNEL_USB_IDS
// (separated by commas or blanks), then `extra` (the --usb-id options), without repeats. False
// with `error` naming the first malformed id or an unreadable file.
bool BuildUsbMatchList(const std::vector<std::string>& extra, std::vector<UsbId>& ids,
                       std::string& error);

}  // namespace varnel
