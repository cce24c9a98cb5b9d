// SQL Server's syscolumns type codes and storage lengths, derived from a
// declared column type such as "varchar(20)" or "INTEGER". Shared by the
// engines' catalog views; the table is documented in sql/db/TYPES.md.
#pragma once

#include <string>

namespace kestal::db {

struct TypeInfo {
  int code;    // syscolumns.type
  int length;  // syscolumns.length, in bytes
};

// The code and length for a declared type (any case, blanks allowed).
TypeInfo TypeFromDeclared(const std::string& declared);

// syscolumns.prec and syscolumns.scale: what a value of the column may hold.
struct Precision {
  int prec;   // digits of a number; characters of char/varchar/nchar/nvarchar
              // (-1 for max); 0 where the type sets no such limit
  int scale;  // digits after the point
};

// The precision and scale for a declared type (sql/db/TYPES.md).
Precision PrecisionFromDeclared(const std::string& declared);

}  // namespace kestal::db
