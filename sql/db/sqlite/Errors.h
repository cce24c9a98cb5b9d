// The one place where SQLite result codes become access-layer statuses.
#pragma once

#include <sqlite3.h>

#include <string>

#include "sql/db/ComError.h"

namespace kestal::db::sqlite {

// The status for a SQLite result code (primary or extended):
//   out of memory                                   -> kOutOfMemory
//   file cannot be opened / read / is not a database,
//   I/O error, corruption, disk full, busy or locked
//   past the time-out, permission refused           -> kConnectionError
//   everything else (syntax, unknown object,
//   constraint, type mismatch, ...)                 -> kStatementError
// Every one of them prints with "%08lx" as text containing "800".
HRESULT StatusFor(int rc);

// Raises _com_error for rc with SQLite's message for db (or for rc when db
// is null), prefixed by context when given. Description in UTF-8.
[[noreturn]] void Raise(sqlite3* db, int rc, const std::string& context = std::string());

}  // namespace kestal::db::sqlite
