// Runs a program as a child process and collects what it printed and how it ended.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace varnel::test {

struct ChildResult {
    int nExitStatus = -1;  // -1 when the child did not exit by itself (killed at the limit)
    std::string strOut;
    std::string strErr;
};

// Starts `program` with `args` and standard input from /dev/null, and waits for it, killing it
// after `limit`. `interruptWhen` sees the standard output so far each time it grows; the first
// time it answers true the child gets `interruptSignal`.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::function<bool(const std::string&)>& interruptWhen = {},
                     std::chrono::seconds limit = std::chrono::seconds(60),
                     int interruptSignal = SIGINT);

}  // namespace varnel::test
