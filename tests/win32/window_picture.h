// A window's picture as the screen shows it, saved as a 24-bit BMP file.
#pragma once

#include <windows.h>

#include <string>

namespace varnel::test {

// False when the screen could not be read or the file not written.
bool SaveWindowPicture(HWND window, const std::string& path);

}  // namespace varnel::test
