// Small RAII helpers over the SQLite C API, shared by the engine's files.
#pragma once

#include <sqlite3.h>

#include <string>

#include "sql/db/sqlite/Errors.h"

namespace kestal::db::sqlite {

// A prepared statement, finalized when the object goes.
class Stmt {
 public:
  // Prepares sql on db; raises _com_error on failure.
  Stmt(sqlite3* db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr);
    if (rc != SQLITE_OK) Raise(db, rc);
  }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  sqlite3_stmt* get() const { return st_; }
  void BindText(int index, const std::string& text) {
    Check(sqlite3_bind_text(st_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
  }
  void BindInt(int index, long long value) { Check(sqlite3_bind_int64(st_, index, value)); }
  void BindNull(int index) { Check(sqlite3_bind_null(st_, index)); }
  void BindDouble(int index, double value) { Check(sqlite3_bind_double(st_, index, value)); }
  // Steps once: true for a row, false when done; raises on error.
  bool Step() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Raise(db_, rc);
  }
  void Reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  std::string Text(int column) const {
    const unsigned char* t = sqlite3_column_text(st_, column);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(st_, column)))
             : std::string();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Raise(db_, rc);
  }
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

// Runs sql (no rows wanted); raises _com_error on failure.
inline void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  sqlite3_free(err);
  if (rc != SQLITE_OK) Raise(db, rc);
}

// A write transaction of the engine's own, begun with BEGIN IMMEDIATE (so the
// write lock is taken, under the busy time-out, before anything is read), or
// nothing when the host's transaction is open. Rolled back unless committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db), own_(sqlite3_get_autocommit(db) != 0) {
    if (own_) Exec(db_, "BEGIN IMMEDIATE");
  }
  ~WriteTransaction() {
    if (own_ && !done_ && !sqlite3_get_autocommit(db_)) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit() {
    if (own_) Exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool own_;
  bool done_ = false;
};

}  // namespace kestal::db::sqlite
