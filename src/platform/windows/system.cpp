#include "platform/system.h"

#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "images/format_entry.h"
#include "images/utf8_path.h"

namespace varnel {

namespace {

constexpr UINT kKoreanCodePage = 949;

std::atomic<void (*)(int)> g_endHandler{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    void (*handler)(int) = g_endHandler.load();
    if (handler == nullptr) {
        return FALSE;
    }
    handler(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
    return TRUE;
}

// Appends one CP949 character as UTF-8; false when the bytes are none.
bool AppendCharacter(std::string_view bytes, std::string& out) {
    wchar_t wide[2];
    const int wideCount = MultiByteToWideChar(kKoreanCodePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                              static_cast<int>(bytes.size()), wide, 2);
    if (wideCount <= 0) {
        return false;
    }
    char utf8[8];
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, wide, wideCount, utf8, sizeof utf8, nullptr, nullptr);
    if (count <= 0) {
        return false;
    }
    out.append(utf8, static_cast<size_t>(count));
    return true;
}

std::string LastErrorText() {
    return FormatEntry("error %lu", static_cast<unsigned long>(GetLastError()));
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int index = 0; index < count; ++index) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, wide[index], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(static_cast<size_t>(size > 0 ? size : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[index], -1, argument.data(), size, nullptr, nullptr);
        argument.resize(argument.size() - 1);  // the terminating null
        arguments.push_back(std::move(argument));
    }
    LocalFree(wide);
    return arguments;
}

size_t DecodeCp949Prefix(std::string_view text, std::string& out) {
    size_t at = 0;
    while (at < text.size()) {
        const bool lead = static_cast<unsigned char>(text[at]) >= 0x80;
        const size_t length = lead ? 2 : 1;
        if (text.size() - at < length || !AppendCharacter(text.substr(at, length), out)) {
            break;
        }
        at += length;
    }
    return at;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary =
        FormatEntry("%s.%lu.tmp", path.c_str(), static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE file = CreateFileW(Utf8Path(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot write '" + temporary + "': " + LastErrorText();
        return false;
    }
    DWORD written = 0;
    const bool complete =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && FlushFileBuffers(file);
    if (!complete) {
        error = "cannot write '" + temporary + "': " + LastErrorText();
    }
    CloseHandle(file);
    if (!complete) {
        DeleteFileW(Utf8Path(temporary).c_str());
        return false;
    }
    if (!MoveFileExW(Utf8Path(temporary).c_str(), Utf8Path(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot rename '" + temporary + "' to '" + path + "': " + LastErrorText();
        DeleteFileW(Utf8Path(temporary).c_str());
        return false;
    }
    return true;
}

bool MayWrite(const std::string& path, std::string& error) {
    const DWORD attributes = GetFileAttributesW(Utf8Path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = LastErrorText();
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "read-only";
        return false;
    }
    return true;
}

bool IsTerminal(StandardStream stream) {
    FILE* file = stream == StandardStream::kInput    ? stdin
                 : stream == StandardStream::kOutput ? stdout
                                                     : stderr;
    return _isatty(_fileno(file)) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void CatchEndRequests(void (*handler)(int signal)) {
    g_endHandler = handler;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length) || length == 0) {
        return "bench";
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), text.data(), size, nullptr,
                        nullptr);
    return text.empty() ? "bench" : text;
}

}  // namespace varnel
