// The few calls of the programs that each system makes its own way: text conversion, replacing a
// file whole, the terminal, the requests to end, the machine's name. platform/linux and
// platform/windows each implement them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The program's arguments, its name first, as UTF-8: Windows reads them from the wide command
// line (the narrow one is in the ANSI code page, which cannot hold every name); elsewhere they
// are `argv` as given.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Converts CP949 (Korean) text to UTF-8 from its start up to the first byte that starts no CP949
// character, appending to `out`; how many bytes were taken (0 when none could be).
size_t DecodeCp949Prefix(std::string_view text, std::string& out);

// Writes `text` to `path` whole or not at all: a temporary file beside it, flushed to the disk,
// then put in its place. False with `error`, and the old file untouched.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

// Whether this process may write to an existing file or into a directory; false with `error`.
bool MayWrite(const std::string& path, std::string& error);

enum class StandardStream { kInput, kOutput, kError };
bool IsTerminal(StandardStream stream);
// The width of the terminal on standard error; 0 when it is none or will not say.
int TerminalColumns();

// From now on an operator's request to end (interrupt, terminate, hang-up; a console's Ctrl+C,
// Ctrl+Break or close) calls `handler` with the signal number it stands for, and a write to a
// closed pipe fails instead of ending the program.
void CatchEndRequests(void (*handler)(int signal));

// This machine's name (the bench's name unless the operator gives one); "bench" when it has none.
std::string HostName();

}  // namespace varnel
