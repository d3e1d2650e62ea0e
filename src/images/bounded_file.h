// Reading a small file whole, with a limit on its size.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace varnel {

// The whole of a small file, at most `limit` bytes; nullopt with `error` (naming the file) when
// it cannot be read or is larger. `errno` is ENOENT after a missing file.
std::optional<std::string> ReadBoundedFile(const std::string& path, size_t limit,
                                           std::string& error);

}  // namespace varnel
