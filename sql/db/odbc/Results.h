// Rows of an ODBC result as the access layer's ResultTable: every value
// fetched as text, converted to UTF-8 from the narrow character set the
// driver speaks, NULL kept as NULL. The whole result is read at once, so the
// Recordset above is client-side and static as on the other engines.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>

#include "sql/db/Engine.h"

namespace kestal::db::odbc {

// How text crosses the driver: "" or "UTF-8" for drivers speaking UTF-8,
// else the iconv name of their narrow character set (FreeTDS ClientCharset).
struct TextCodec {
  std::string encoding;
  bool utf8() const { return encoding.empty() || encoding == "UTF-8"; }
  // Driver text to UTF-8 and back.
  std::string Decode(const std::string& text) const;
  std::string Encode(const std::string& text) const;
};

// Reads the current result of statement (which has columns) to its end, at
// most limit rows when limit is positive ("set rowcount"; the rest of the
// result is discarded). With block true (the driver allows SQLGetData on a
// block cursor: SQL_GD_BLOCK and SQL_GD_BOUND) rows come in blocks into bound
// buffers, and a value longer than its buffer is read again whole with
// SQLSetPos and SQLGetData; otherwise every value comes by SQLGetData. The
// statement's bindings and row-array size are reset before it returns.
// Raises the mapped error when a fetch fails.
// With pad_fixed (SQLite, which keeps char(n) values as written) values of
// columns declared char(n) or nchar(n) come back blank-padded to n, as the
// native SQLite engine gives them.
std::unique_ptr<ResultTable> FetchAll(SQLHSTMT statement, SQLSMALLINT columns, long limit,
                                      const TextCodec& codec, bool block = false,
                                      bool pad_fixed = false);

}  // namespace kestal::db::odbc
