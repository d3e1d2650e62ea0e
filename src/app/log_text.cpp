#include "app/log_text.h"

#include <cstdint>

#include "images/format_entry.h"
#include "platform/system.h"

namespace varnel {

namespace {

// Length of the UTF-8 sequence starting at `text[at]`, or 0 when none starts there.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&text](size_t index) { return static_cast<uint8_t>(text[index]); };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint32_t lowest = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < lowest || code > 0x10FFFF || surrogate ? 0 : length;
}

bool IsUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

// Decodes all of `text`; a byte that does not start a CP949 character becomes "\xNN".
std::string DecodeCp949(std::string_view text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t taken = DecodeCp949Prefix(text.substr(at), out);
        if (taken == 0) {
            out += FormatEntry("\\x%02X", static_cast<uint8_t>(text[at]));
            ++at;
        }
        at += taken;
    }
    return out;
}

}  // namespace

std::string LogTextToUtf8(std::string_view text) {
    if (IsUtf8(text)) {
        return std::string(text);
    }
    return DecodeCp949(text);
}

}  // namespace varnel
