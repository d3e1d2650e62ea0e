// Command-line parsing that every program shares: the same answers to --help, --version and a bad
// argument, and the same exit statuses for them.
#pragma once

#include <optional>

namespace CLI {
class App;
}

namespace varnel {

inline constexpr int kExitDone = 0;
inline constexpr int kExitBadArguments = 2;

// Parses the arguments into `app`. nullopt: go on with the program. Otherwise the exit status:
// kExitDone after printing the help or the version on standard output, kExitBadArguments after
// one line "PROGRAM: error" on standard error.
std::optional<int> ParseProgramArguments(CLI::App& app, int argc, char** argv, const char* program);

}  // namespace varnel
