// Running another program on Linux, left to run on its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnel {

// Starts a program with these arguments (after its name) in a session of its own, not a child
// of this process, and returns without waiting for it; false (errno set) when it could not be
// executed.
bool StartDetached(const std::string& path, const std::vector<std::string>& arguments = {});

}  // namespace varnel
