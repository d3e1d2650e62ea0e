// The history file's tables, and bringing a file of any older layout up to the current one.
#pragma once

#include <memory>
#include <string>

#include "app/history/sqlite_database.h"

namespace varnel {

// The layout this program writes; PRAGMA user_version holds a file's.
inline constexpr int kHistorySchemaVersion = 2;

// Opens the history at `path` (with `create`, making it and its folder when missing) in WAL mode
// with a busy time-out, and applies in one transaction every migration the file has not had.
// Throws SqliteError; a file from a newer program is refused rather than misread.
std::unique_ptr<SqliteDatabase> OpenHistoryDatabase(const std::string& path, bool create);

}  // namespace varnel
