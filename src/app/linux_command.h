// Running other programs on Linux: a command whose output is wanted, and a program left to run
// on its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnel {

struct CommandResult {
    int spawnError = 0;   // errno when the program could not be started
    int exitStatus = -1;  // the exit status, or 128 + the signal that ended it
    std::string output;   // standard output and standard error together, cut at the limit
};

// Runs argv[0] (looked up in PATH) with standard input from /dev/null and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv, size_t outputLimit = 65536);

// Starts a program with these arguments (after its name) in a session of its own, not a child
// of this process, and returns without waiting for it; false (errno set) when it could not be
// executed.
bool StartDetached(const std::string& path, const std::vector<std::string>& arguments = {});

}  // namespace varnel
