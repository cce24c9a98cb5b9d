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

}  // namespace kestal::db
