// A thin hold on an SQLite database: statements that finalize themselves, errors as exceptions
// (caught at the edge of the history), and columns read back with their types checked, since the
// file may have been changed by anything.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace varnel {

class SqliteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class SqliteDatabase {
  public:
    // Opens (and with `create`, creates) the file; throws SqliteError with SQLite's reason.
    SqliteDatabase(const std::string& path, bool create);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    void Execute(const std::string& sql);
    int64_t LastInsertId() const;
    sqlite3* Handle() const { return m_pDb; }

  private:
    sqlite3* m_pDb = nullptr;
};

class SqliteStatement {
  public:
    SqliteStatement(const SqliteDatabase& db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters count from 1, as in SQLite.
    SqliteStatement& Bind(int index, int64_t value);
    SqliteStatement& Bind(int index, double value);
    SqliteStatement& Bind(int index, const std::string& value);
    SqliteStatement& BindNull(int index);
    // True with a row to read, false when done.
    bool Step();
    // Steps a statement that returns no rows, then makes it ready to run again.
    void Run();
    void Reset();

    // Columns count from 0. A value of another type than asked throws SqliteError.
    int64_t Integer(int column) const;
    double Real(int column) const;  // an integer is read as a real too
    std::string Text(int column) const;
    bool IsNull(int column) const;

  private:
    [[noreturn]] void ThrowColumn(int column, const char* wanted) const;

    sqlite3* m_pDb;
    sqlite3_stmt* m_pStatement = nullptr;
};

// A transaction that rolls back unless committed.
class SqliteTransaction {
  public:
    explicit SqliteTransaction(SqliteDatabase& db);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void Commit();

  private:
    SqliteDatabase& m_db;
    bool m_bDone = false;
};

}  // namespace varnel
