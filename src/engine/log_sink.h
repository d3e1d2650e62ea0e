// Where the engine's log lines go: the window's main log. Entries are printf-style, carry their
// own "\r\n", and are appended whole (an entry is never cut, however long).
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "images/format_entry.h"

namespace varnel {

class MainLogSink {
  public:
    virtual ~MainLogSink() = default;
    // Appends one finished entry; safe to call from any thread, entries never interleave.
    virtual void AppendMainLogText(std::string_view entry) = 0;

    void AppendMainLog(const char* format, ...) VARNEL_PRINTF(2, 3);
};

}  // namespace varnel
