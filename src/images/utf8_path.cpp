#include "images/utf8_path.h"

#include <exception>
#include <string>

namespace varnel {

std::filesystem::path Utf8Path(std::string_view utf8) {
#ifdef _WIN32
    try {
        return std::filesystem::path(
            std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
    } catch (const std::exception&) {
        return {};
    }
#else
    // The names are bytes here: kept as they are, whatever their encoding.
    return std::filesystem::path(std::string(utf8));
#endif
}

}  // namespace varnel
