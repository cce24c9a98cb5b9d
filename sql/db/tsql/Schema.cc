// Name choice among names that differ only by case; see Schema.h.
#include "sql/db/tsql/Schema.h"

#include <strings.h>

namespace kestal::db::tsql {
namespace {

// True when name has no ASCII upper-case letter.
bool IsLowerCase(const std::string& name) {
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') return false;
  }
  return true;
}

// The index among count names (name_at(i) gives each) that PickName
// chooses for name, or -1. Shared by PickName and TableShape::Column, which
// runs for every column name of every statement and so must not copy names.
template <class NameAt>
int PickAmong(size_t count, NameAt name_at, const std::string& name) {
  int best = -1;
  for (size_t i = 0; i < count; ++i) {
    const std::string& n = name_at(i);
    if (n.size() != name.size() || strncasecmp(n.c_str(), name.c_str(), n.size()) != 0) continue;
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const std::string& b = name_at(static_cast<size_t>(best));
    const bool n_lower = IsLowerCase(n);
    if (n_lower != IsLowerCase(b) ? n_lower : n < b) best = static_cast<int>(i);
  }
  return best;
}

}  // namespace

int PickName(const std::vector<std::string>& names, const std::string& name) {
  return PickAmong(
      names.size(), [&](size_t i) -> const std::string& { return names[i]; }, name);
}

const ColumnShape* TableShape::Column(const std::string& name) const {
  const int k = PickAmong(
      columns.size(), [&](size_t i) -> const std::string& { return columns[i].name; }, name);
  return k < 0 ? nullptr : &columns[static_cast<size_t>(k)];
}

}  // namespace kestal::db::tsql
