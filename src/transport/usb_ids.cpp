#include "transport/usb_ids.h"

#include <algorithm>
#include <charconv>

namespace varnel {

namespace {

constexpr size_t kSerialLimit = 64;

std::optional<uint16_t> ParseHex16(std::string_view digits) {
    unsigned value = 0;
    const auto [end, status] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.empty() || digits.size() > 4 || status != std::errc() ||
        end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

void SplitUsbIds(std::string_view list, std::vector<std::string>& texts) {
    size_t at = 0;
    while (at < list.size()) {
        const size_t end = std::min(list.find_first_of(", \t\r\n", at), list.size());
        if (end > at) {
            texts.emplace_back(list.substr(at, end - at));
        }
        at = end + 1;
    }
}

std::optional<UsbId> ParseUsbId(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto vendor = ParseHex16(text.substr(0, colon));
    const auto product = ParseHex16(text.substr(colon + 1));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product};
}

bool UsbMatchListOf(const std::vector<std::string>& texts, std::vector<UsbId>& ids,
                    std::string& error) {
    ids = {UsbId{kSimVendorId, kSimProductId}};
    for (const std::string& text : texts) {
        const std::optional<UsbId> id = ParseUsbId(text);
        if (!id) {
            error = "'" + text + "' is not a USB id VID:PID (hex)";
            return false;
        }
        if (std::find(ids.begin(), ids.end(), *id) == ids.end()) {
            ids.push_back(*id);
        }
    }
    return true;
}

bool MatchesUsbId(const std::vector<UsbId>& ids, uint16_t vendorId, uint16_t productId) {
    return std::find(ids.begin(), ids.end(), UsbId{vendorId, productId}) != ids.end();
}

std::string SanitiseSerial(std::string_view serial) {
    std::string clean(serial.substr(0, kSerialLimit));
    for (char& c : clean) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!kept) {
            c = '_';
        }
    }
    return clean;
}

std::string BusPortChain(uint8_t bus, const uint8_t* ports, int count) {
    std::string chain = std::to_string(bus);
    for (int i = 0; i < count; ++i) {
        chain += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    }
    return chain;
}

}  // namespace varnel
