// The simulator's faults by name, as programs take them on their command lines:
// "NAME=N" (or "NAME" for a fault without a count), e.g. "wrong-chunk-sum=3".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/virtual_handset.h"

namespace varnel {

// Sets the named fault in `faults`; false with `error` set for an unknown name or a bad count.
bool ApplyFaultByName(std::string_view text, HandsetFaults& faults, std::string& error);

// "PORT:NAME[=N]": sets the fault in `perPort[PORT]`; false with `error` set for a port outside
// the vector or a bad fault.
bool ApplyPortFault(std::string_view text, std::vector<HandsetFaults>& perPort, std::string& error);

// One line per fault name with what it does, for --help.
std::string FaultNamesHelp();

}  // namespace varnel
