// Which USB devices are boot loaders: a list of vendor:product ids, and the device path of a USB
// device in the one form every transport reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

struct UsbId {
    uint16_t vendorId = 0;
    uint16_t productId = 0;

    friend bool operator==(const UsbId&, const UsbId&) = default;
};

inline constexpr char kUsbIdsVariable[] = "VARNEL_USB_IDS";
// The bench's own boot-loader ids, kept by the package across upgrades.
inline constexpr char kUsbIdsFile[] = "/etc/varnel/usb-ids";

// "VVVV:PPPP" in hex (1 to 4 digits each); empty when malformed.
std::optional<UsbId> ParseUsbId(std::string_view text);

// Appends the id texts of a usb-ids file to `texts`: separated by commas, blanks or line ends,
// '#' starting a comment to the end of its line. A missing file adds none; false with `error`
// when it cannot be read, is larger than 64 KiB or holds a malformed id.
bool ReadUsbIdsFile(const char* path, std::vector<std::string>& texts, std::string& error);

// The ids to match: the simulator's, then those of /etc/varnel/usb-ids, of VARNEL_USB_IDS
// (separated by commas or blanks), then `extra` (the --usb-id options), without repeats. False
// with `error` naming the first malformed id or an unreadable file.
bool BuildUsbMatchList(const std::vector<std::string>& extra, std::vector<UsbId>& ids,
                       std::string& error);

bool MatchesUsbId(const std::vector<UsbId>& ids, uint16_t vendorId, uint16_t productId);

// A serial string as it may stand in a device path: letters, digits, '.', '-' and '_' kept,
// every other byte (a '#' would cut the path in the wrong place) replaced by '_', at most 64
// characters. Empty for an empty serial.
std::string SanitiseSerial(std::string_view serial);

// "1-2.3": the bus number and the chain of hub ports, as the kernel names USB devices.
std::string BusPortChain(uint8_t bus, const uint8_t* ports, int count);

}  // namespace varnel
