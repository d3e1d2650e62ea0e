// File names travel through the program as UTF-8 text. Every call that opens or inspects a file
// takes its path through Utf8Path: Windows reads a narrow name in the ANSI code page, so a folder
// named in another script would otherwise not be found.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace varnel {

// The path `utf8` names; empty when the text is not UTF-8 where the system needs it to be (such a
// path opens nothing).
std::filesystem::path Utf8Path(std::string_view utf8);

// The UTF-8 text of `path`, as Utf8Path reads it back.
std::string Utf8Text(const std::filesystem::path& path);

// fopen of the file `utf8` names; null with errno set when it cannot be opened.
std::FILE* OpenUtf8File(std::string_view utf8, const char* mode);

}  // namespace varnel
