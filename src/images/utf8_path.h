// File names travel through the program as UTF-8 text. Every call that opens or inspects a file
// takes its path through Utf8Path: Windows reads a narrow name in the ANSI code page, so a folder
// named in another script would otherwise not be found.
#pragma once

#include <filesystem>
#include <string_view>

namespace varnel {

// The path `utf8` names; empty when the text is not UTF-8 where the system needs it to be (such a
// path opens nothing).
std::filesystem::path Utf8Path(std::string_view utf8);

}  // namespace varnel
