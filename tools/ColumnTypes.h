// The declared types of a database table's columns, read from the catalog
// (syscolumns: type, length, prec, scale), for the commands that must judge a
// value by what its column holds rather than by the storage width the
// library's field table gives (a decimal(10,3) has 9 storage bytes, a text
// column a 16-byte pointer).
#pragma once

#include <string>
#include <vector>

#include "sql/SQLOperate.h"

namespace kestal::tool {

// What the tool does with a column's values, by its catalog type code.
enum class ColumnKind {
  kInt,       // int: written by the library as a number
  kWhole,     // bigint, smallint, tinyint, bit: whole numbers within a range
  kChar,      // char, nchar: at most prec characters, padded by the database
  kVarchar,   // varchar, nvarchar: at most prec characters (-1: no limit)
  kText,      // text, ntext: no limit
  kDecimal,   // decimal, numeric, money: prec digits, scale after the point
  kFloat,     // float, real
  kDate,      // date
  kDateTime,  // datetime, smalldatetime, datetime2
  kOmitted,   // type 37 (row version, binary): left out of every insert
  kOther,     // anything else: passed as trimmed text for the database to judge
};

struct ColumnType {
  std::string name;  // as the catalog gives it
  int code = 0;      // syscolumns.type
  int length = 0;    // storage bytes
  int prec = 0;      // digits, or characters of a character type (-1: max)
  int scale = 0;
  ColumnKind kind = ColumnKind::kOther;
};

// The kind of a catalog type code.
ColumnKind KindOfType(int code);

// A word naming the kind, for messages and listings ("varchar(20)").
std::string DescribeColumn(const ColumnType& column);

// Reads the declared types of table's columns through sql's connection (open
// on the table), in column order. Throws ToolError when the catalog cannot
// be read or does not list the columns of the field table.
std::vector<ColumnType> ReadColumnTypes(const CSQLOperate& sql, const std::string& table);

}  // namespace kestal::tool
