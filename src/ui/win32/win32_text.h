// Text between the window logic (UTF-8) and the wide Win32 calls.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace varnel {

std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);
// A window's text, as UTF-8.
std::string WindowText(HWND window);
// "Description|*.ext|..." as the Open dialog takes it: pairs ended by an empty string.
std::wstring OpenFileFilter(std::string_view filter);

}  // namespace varnel
