#include "images/format_entry.h"

#include <cstdio>

namespace varnel {

std::string FormatEntryV(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    char small[260];
    const int needed = std::vsnprintf(small, sizeof small, format, measure);
    va_end(measure);
    if (needed < 0) {
        return {};
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        return std::string(small, static_cast<size_t>(needed));
    }
    std::string entry(static_cast<size_t>(needed), '\0');
    std::vsnprintf(entry.data(), entry.size() + 1, format, args);
    return entry;
}

std::string FormatEntry(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string entry = FormatEntryV(format, args);
    va_end(args);
    return entry;
}

}  // namespace varnel
