// Which USB devices are boot loaders: vendor:product ids as every platform and the simulator use
// them, and the parts of a USB device's path in the one form every transport reports.
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

// The ids every simulated handset enumerates with; always in the match list.
inline constexpr uint16_t kSimVendorId = 0xF055;
inline constexpr uint16_t kSimProductId = 0x56D1;

inline constexpr char kUsbIdsVariable[] = "VARNEL_USB_IDS";

// "VVVV:PPPP" in hex (1 to 4 digits each); empty when malformed.
std::optional<UsbId> ParseUsbId(std::string_view text);

// Appends the id texts of a list separated by commas, blanks or line ends to `texts`.
void SplitUsbIds(std::string_view list, std::vector<std::string>& texts);

// The ids to match: the simulator's, then `texts` in order, without repeats. False with `error`
// naming the first malformed id.
bool UsbMatchListOf(const std::vector<std::string>& texts, std::vector<UsbId>& ids,
                    std::string& error);

bool MatchesUsbId(const std::vector<UsbId>& ids, uint16_t vendorId, uint16_t productId);

// A serial string as it may stand in a device path: letters, digits, '.', '-' and '_' kept,
// every other byte (a '#' would cut the path in the wrong place) replaced by '_', at most 64
// characters. Empty for an empty serial.
std::string SanitiseSerial(std::string_view serial);

// "1-2.3": the bus number and the chain of hub ports, as the kernel names USB devices.
std::string BusPortChain(uint8_t bus, const uint8_t* ports, int count);

}  // namespace varnel
