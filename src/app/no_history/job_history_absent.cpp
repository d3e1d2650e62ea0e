// The history in a build without SQLite: none is recorded, and asking for one says why.
#include <cstdio>

#include "app/job_history.h"

namespace varnel {

namespace {
constexpr char kNotBuilt[] = "the job history is not built into this program (it needs SQLite)";
}

bool JobHistoryBuilt() {
    return false;
}

std::unique_ptr<JobHistory> OpenJobHistory(const std::string&, const std::string&,
                                           std::string& error) {
    error = kNotBuilt;
    return nullptr;
}

bool ListHistory(const HistoryQuery&, nlohmann::json&, std::string& error) {
    error = kNotBuilt;
    return false;
}

int RunHistoryCommand(const char* program, int, char**) {
    std::fprintf(stderr, "%s: history: %s\n", program, kNotBuilt);
    return 2;
}

}  // namespace varnel
