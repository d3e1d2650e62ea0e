#include "app/history/sqlite_database.h"

#include <sqlite3.h>

namespace varnel {

namespace {

[[noreturn]] void Throw(sqlite3* db, const std::string& what) {
    throw SqliteError(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

SqliteDatabase::SqliteDatabase(const std::string& path, bool create) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &m_pDb, flags, nullptr) != SQLITE_OK) {
        const std::string reason = m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : "out of memory";
        sqlite3_close(m_pDb);
        throw SqliteError(reason);
    }
    sqlite3_extended_result_codes(m_pDb, 1);
}

SqliteDatabase::~SqliteDatabase() {
    sqlite3_close(m_pDb);
}

void SqliteDatabase::Execute(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(m_pDb);
        sqlite3_free(message);
        throw SqliteError(reason);
    }
}

int64_t SqliteDatabase::LastInsertId() const {
    return sqlite3_last_insert_rowid(m_pDb);
}

SqliteStatement::SqliteStatement(const SqliteDatabase& db, const std::string& sql)
    : m_pDb(db.Handle()) {
    if (sqlite3_prepare_v2(m_pDb, sql.c_str(), static_cast<int>(sql.size()), &m_pStatement,
                           nullptr) != SQLITE_OK) {
        Throw(m_pDb, "cannot prepare a query");
    }
}

SqliteStatement::~SqliteStatement() {
    sqlite3_finalize(m_pStatement);
}

SqliteStatement& SqliteStatement::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(m_pStatement, index, value) != SQLITE_OK) {
        Throw(m_pDb, "cannot bind a value");
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, double value) {
    if (sqlite3_bind_double(m_pStatement, index, value) != SQLITE_OK) {
        Throw(m_pDb, "cannot bind a value");
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& value) {
    if (sqlite3_bind_text(m_pStatement, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        Throw(m_pDb, "cannot bind a value");
    }
    return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
    if (sqlite3_bind_null(m_pStatement, index) != SQLITE_OK) {
        Throw(m_pDb, "cannot bind a value");
    }
    return *this;
}

bool SqliteStatement::Step() {
    const int result = sqlite3_step(m_pStatement);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    Throw(m_pDb, "cannot run a query");
}

void SqliteStatement::Run() {
    while (Step()) {
    }
    Reset();
}

void SqliteStatement::Reset() {
    sqlite3_reset(m_pStatement);
    sqlite3_clear_bindings(m_pStatement);
}

void SqliteStatement::ThrowColumn(int column, const char* wanted) const {
    const char* name = sqlite3_column_name(m_pStatement, column);
    throw SqliteError(std::string("the column '") + (name != nullptr ? name : "?") +
                      "' holds a value that is not " + wanted);
}

int64_t SqliteStatement::Integer(int column) const {
    if (sqlite3_column_type(m_pStatement, column) != SQLITE_INTEGER) {
        ThrowColumn(column, "an integer");
    }
    return sqlite3_column_int64(m_pStatement, column);
}

double SqliteStatement::Real(int column) const {
    const int type = sqlite3_column_type(m_pStatement, column);
    if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) {
        ThrowColumn(column, "a number");
    }
    return sqlite3_column_double(m_pStatement, column);
}

std::string SqliteStatement::Text(int column) const {
    if (sqlite3_column_type(m_pStatement, column) != SQLITE_TEXT) {
        ThrowColumn(column, "a text");
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_pStatement, column));
    const int length = sqlite3_column_bytes(m_pStatement, column);
    return text != nullptr ? std::string(text, static_cast<size_t>(length)) : std::string();
}

bool SqliteStatement::IsNull(int column) const {
    return sqlite3_column_type(m_pStatement, column) == SQLITE_NULL;
}

SqliteTransaction::SqliteTransaction(SqliteDatabase& db) : m_db(db) {
    m_db.Execute("BEGIN IMMEDIATE");
}

SqliteTransaction::~SqliteTransaction() {
    if (!m_bDone) {
        char* message = nullptr;
        sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, &message);
        sqlite3_free(message);
    }
}

void SqliteTransaction::Commit() {
    m_db.Execute("COMMIT");
    m_bDone = true;
}

}  // namespace varnel
