// The T-SQL rewriter: one statement of a batch in, one plan out. Most
// statements come out as engine SQL text; the few that need more than a
// rewrite (set rowcount, BULK INSERT, DBCC CHECKIDENT) come out as a
// structured request that the engine session carries out itself.
//
// Anything the rewriter cannot translate faithfully raises
// _com_error(kNotSupported) naming the construct: a statement either runs with
// its SQL Server meaning or fails, it never runs with another meaning.
#pragma once

#include <string>
#include <vector>

#include "sql/db/tsql/Dialect.h"
#include "sql/db/tsql/Schema.h"

namespace kestal::db::tsql {

enum class StatementKind {
  kSql,          // run sql on the engine
  kSetRowcount,  // cap later SELECT results at rowcount rows (0: no cap)
  kBulkInsert,   // load a character file into a table
  kReseed,       // set a table's identity so that the next value is seed + 1
  kNoop,         // accepted and ignored (set nocount on)
};

struct BulkInsertRequest {
  std::string table;                   // plain name, without brackets or db..
  std::string path;                    // the file, as written
  std::string field_terminator = ",";  // FIELDTERMINATOR
  std::string row_terminator;          // ROWTERMINATOR; empty: CR LF or LF
  long first_row = 1;                  // FIRSTROW
  bool keep_identity = false;          // KEEPIDENTITY
};

struct Statement {
  StatementKind kind = StatementKind::kSql;
  std::string sql;  // kSql: the statement for the engine
  // kSql: tables read under a locking hint such as holdlock; an engine
  // without statement-level write locks serialises on them.
  std::vector<std::string> locked_tables;
  long rowcount = 0;       // kSetRowcount
  BulkInsertRequest bulk;  // kBulkInsert
  std::string table;       // kReseed
  long long seed = 0;      // kReseed
};

// Rewrites one statement (no ';' at depth 0; see SplitBatch) for dialect.
// schema, when given, tells which columns of the statement's tables hold
// character data (compared with a number they are converted to it) and, for
// a dialect with quote_stored_name, the names as stored.
// Raises _com_error(kStatementError) for malformed text and
// _com_error(kNotSupported) for constructs without a faithful translation.
Statement Rewrite(const std::string& statement, const Dialect& dialect, Schema* schema = nullptr);

// The bytes a FIELDTERMINATOR or ROWTERMINATOR stands for, as T-SQL writes
// them: \t, \n, \r and \0 escapes, or a hex byte such as 0x0a.
std::string TerminatorBytes(const std::string& written);

}  // namespace kestal::db::tsql
