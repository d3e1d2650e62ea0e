// printf-style formatting of one log entry into a string. The image code and the engine both
// write log lines, so the formatter lives in the lowest layer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace varnel {

#if defined(__MINGW32__)
// mingw's C++ runtime formats with its own C99 printf (%zu, %lld), which plain "printf" here
// would check as the older Microsoft one.
#define VARNEL_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define VARNEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VARNEL_PRINTF(fmt, args)
#endif

// printf into a string of whatever length the entry needs.
std::string FormatEntry(const char* format, ...) VARNEL_PRINTF(1, 2);
std::string FormatEntryV(const char* format, va_list args);

// A 64-bit length or offset for "%llu" and "%llx", whatever uint64_t is on the platform.
inline unsigned long long Wide(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

}  // namespace varnel
