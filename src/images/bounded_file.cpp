#include "images/bounded_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace varnel {

std::optional<std::string> ReadBoundedFile(const std::string& path, size_t limit,
                                           std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        const int reason = errno;
        error = "cannot read " + path + ": " + std::strerror(reason);
        errno = reason;
        return std::nullopt;
    }
    std::string content(limit + 1, '\0');
    content.resize(std::fread(content.data(), 1, content.size(), file));
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || content.size() > limit) {
        error = "cannot read " + path +
                (failed ? "" : ": larger than " + std::to_string(limit) + " bytes");
        errno = 0;
        return std::nullopt;
    }
    return content;
}

}  // namespace varnel
