// What the rewriter may ask an engine about the tables a statement names:
// their names as stored and which of their columns hold character data.
// Each engine session keeps one, over its own catalog; the rewriter asks
// only when a statement needs it (a character column compared with a
// number, or an engine whose names mind case).
#pragma once

#include <string>
#include <vector>

namespace kestal::db::tsql {

struct ColumnShape {
  std::string name;        // as stored
  bool character = false;  // char, varchar, text and the like
};

struct TableShape {
  std::string name;                  // as stored
  std::vector<ColumnShape> columns;  // in column order
  // The column whose name equals name without regard to ASCII case (as
  // PickName chooses), or null when none.
  const ColumnShape* Column(const std::string& name) const;
};

class Schema {
 public:
  virtual ~Schema() = default;
  // The table or view whose name equals name without regard to ASCII case
  // (the engine's choice when several do), or null when there is none.
  // May raise _com_error when the catalog cannot be read.
  virtual const TableShape* Table(const std::string& name) = 0;
};

// Of the names that equal name without regard to ASCII case, the one to
// use, however name itself is spelled: the all-lower-case one (what the
// server's own folding finds), else the first in byte order; or -1 when none
// is equal. Every lookup by name (statements and the catalog views) picks
// alike, so that a table found by the catalog is the one statements use.
int PickName(const std::vector<std::string>& names, const std::string& name);

}  // namespace kestal::db::tsql
