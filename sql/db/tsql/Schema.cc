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

}  // namespace

int PickName(const std::vector<std::string>& names, const std::string& name) {
  int best = -1;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& n = names[i];
    if (n.size() != name.size() || strncasecmp(n.c_str(), name.c_str(), n.size()) != 0) continue;
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const std::string& b = names[static_cast<size_t>(best)];
    const bool n_lower = IsLowerCase(n);
    if (n_lower != IsLowerCase(b) ? n_lower : n < b) best = static_cast<int>(i);
  }
  return best;
}

const ColumnShape* TableShape::Column(const std::string& name) const {
  std::vector<std::string> names;
  names.reserve(columns.size());
  for (const ColumnShape& c : columns) names.push_back(c.name);
  const int k = PickName(names, name);
  return k < 0 ? nullptr : &columns[static_cast<size_t>(k)];
}

}  // namespace kestal::db::tsql
