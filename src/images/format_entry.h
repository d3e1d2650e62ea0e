// printf-style formatting of one log entry into a string. The image code and the engine both
// write log lines, so the formatter lives in the lowest layer.
#pragma once

#include <cstdarg>
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

}  // namespace varnel
