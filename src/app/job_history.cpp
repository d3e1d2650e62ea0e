#include "app/job_history.h"

#include <cstdlib>
#include <filesystem>

namespace varnel {

std::string DefaultHistoryPath() {
    std::filesystem::path folder;
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data != nullptr && *data != '\0') {
        folder = data;
    } else if (home != nullptr && *home != '\0') {
        folder = std::filesystem::path(home) / ".local" / "share";
    } else {
        return {};
    }
    return (folder / "varnel" / "history.sqlite3").string();
}

}  // namespace varnel
