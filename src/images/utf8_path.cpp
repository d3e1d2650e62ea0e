#include "images/utf8_path.h"

#include <cerrno>
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

std::string Utf8Text(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

std::FILE* OpenUtf8File(std::string_view utf8, const char* mode) {
#ifdef _WIN32
    const std::filesystem::path path = Utf8Path(utf8);
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(std::string(utf8).c_str(), mode);
#endif
}

}  // namespace varnel
