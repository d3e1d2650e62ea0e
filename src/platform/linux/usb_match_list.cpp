#include "platform/linux/usb_match_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "images/bounded_file.h"

namespace varnel {

namespace {

constexpr size_t kUsbIdsFileLimit = 64 * 1024;

}  // namespace

bool ReadUsbIdsFile(const char* path, std::vector<std::string>& texts, std::string& error) {
    const std::optional<std::string> content = ReadBoundedFile(path, kUsbIdsFileLimit, error);
    if (!content) {
        if (errno == ENOENT) {
            error.clear();
            return true;
        }
        return false;
    }
    std::vector<std::string> found;
    size_t line = 0;
    while (line < content->size()) {
        const size_t end = std::min(content->find('\n', line), content->size());
        const std::string_view text(content->data() + line, end - line);
        SplitUsbIds(text.substr(0, text.find('#')), found);
        line = end + 1;
    }
    // Named here, so that a bad entry points at this file rather than at the command line.
    for (const std::string& text : found) {
        if (!ParseUsbId(text)) {
            error = "'" + text + "' in " + path + " is not a USB id VID:PID (hex)";
            return false;
        }
    }
    texts.insert(texts.end(), found.begin(), found.end());
    return true;
}

bool BuildUsbMatchList(const std::vector<std::string>& extra, std::vector<UsbId>& ids,
                       std::string& error) {
    std::vector<std::string> texts;
    if (!ReadUsbIdsFile(kUsbIdsFile, texts, error)) {
        return false;
    }
    if (const char* variable = std::getenv(kUsbIdsVariable)) {
        SplitUsbIds(variable, texts);
    }
    texts.insert(texts.end(), extra.begin(), extra.end());
    return UsbMatchListOf(texts, ids, error);
}

}  // namespace varnel
