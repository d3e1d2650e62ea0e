#include "engine/log_sink.h"

namespace varnel {

void MainLogSink::AppendMainLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string entry = FormatEntryV(format, args);
    va_end(args);
    AppendMainLogText(entry);
}

}  // namespace varnel
