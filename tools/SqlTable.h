// Opening a database table for the sql commands and the bridge, and reading
// the values of the current row of a window as the follow command prints them.
#pragma once

#include <string>
#include <vector>

#include "sql/SQLOperate.h"

namespace kestal::tool {

// Opens table on the database named by the ADO-style connection string
// connect ("Provider=SQLite;Data Source=PATH", "Provider=PostgreSQL;..."),
// on a table path whose text after the last backslash is the table name.
// Throws ToolError telling a connection that cannot be made (with the
// engine's reason) from a table the database does not have, and for a field
// table the commands cannot serve: widths of 0 or below or above 511, or a
// record image longer than one 512-byte slot.
// The connection string is checked first (ConnectCheck.h): wrong usage is
// told before any connection is tried. A command that only reads passes
// read_only: then Create=yes is ignored, and no empty database is left behind.
void OpenSqlTable(CSQLOperate* sql, const std::string& connect, const std::string& table,
                  bool read_only = false);

// The column names of the field table, in order, as the catalog gives them.
std::vector<std::string> SqlFieldNames(const CSQLOperate& sql);

// The sum of the field widths: the length of the table's record image.
int SqlRecordLength(const CSQLOperate& sql);

// Index of the column named name (case-insensitive), or -1.
int FindSqlField(const CSQLOperate& sql, const std::string& name);

// The description of a database error, then its status: "REASON (status
// 80004005)", for messages.
std::string DescribeComError(const _com_error& e);

// text as an SQL string literal: in single quotes, each quote doubled.
std::string SqlQuoted(const std::string& text);

}  // namespace kestal::tool
