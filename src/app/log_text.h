// Log and image texts are 8-bit: file names, OS versions and sales codes come from the images as
// they are, often in the Korean code page (CP949). The report and the log files are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

// `text` as UTF-8: kept as it is when it is UTF-8 already, else read as CP949. A byte that is
// neither stays visible as "\xNN", so nothing is dropped without a sign.
std::string LogTextToUtf8(std::string_view text);

}  // namespace varnel
