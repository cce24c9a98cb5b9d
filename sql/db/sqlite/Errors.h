// The one place where SQLite result codes become access-layer statuses and
// failure kinds. What must hold: a failure the record cannot cause (a lock,
// a full disk, a read-only file) is never of kind kValue, so a writer never
// blames a record for it.
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

// The kind of a failure with result code rc and SQLite's message:
//   BUSY, LOCKED                                     -> kBusy
//   FULL, IOERR (a file-size limit too), READONLY,
//   PERM, NOLFS, CORRUPT, NOTADB                     -> kResource
//   CANTOPEN, PROTOCOL, AUTH                         -> kLink
//   CONSTRAINT, MISMATCH, RANGE, TOOBIG, and errors
//   of the T-SQL functions that name a conversion,
//   an overflow or a bad length                      -> kValue
//   other errors (syntax, unknown table or column)   -> kStatement
FailureKind KindFor(int rc, const std::string& message);

// Raises _com_error for rc with SQLite's message for db (or for rc when db
// is null), prefixed by context when given. Description in UTF-8.
[[noreturn]] void Raise(sqlite3* db, int rc, const std::string& context = std::string());

// Raises kConnectionError of kind kResource when db was opened read-only
// although it was asked for read-write: SQLite falls back to read-only
// without a word when the file or its folder cannot be written, and every
// later write would fail. path names the file in the message.
void RequireWritable(sqlite3* db, const std::string& path);

}  // namespace kestal::db::sqlite
