#include "sql/db/sqlite/BulkLoad.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"
#include "sql/db/TypeCodes.h"
#include "sql/db/sqlite/Catalog.h"
#include "sql/db/sqlite/Handle.h"
#include "sql/db/sqlite/Values.h"

namespace kestal::db::sqlite {
namespace {

// kind: kValue when a line's values cannot be taken, kResource when the file
// cannot be read, kStatement for the statement itself.
[[noreturn]] void Fail(const std::string& message, FailureKind kind = FailureKind::kStatement) {
  throw _com_error(kStatementError, CString(message), kind);
}

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::vector<std::string> Split(const std::string& text, const std::string& sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(sep, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + sep.size();
  }
}

std::vector<std::string> Lines(const std::string& content, const std::string& terminator) {
  std::vector<std::string> lines;
  if (terminator.empty()) {
    lines = Split(content, "\n");
    for (auto& l : lines) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
    }
  } else {
    lines = Split(content, terminator);
  }
  // The terminator after the last line leaves one empty piece.
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

struct Target {
  std::string name;
  TypeInfo type;
  bool identity;
};

bool IsIntegerCode(int code) {
  return code == 56 || code == 127 || code == 52 || code == 48 || code == 50;
}

// float, real, decimal, numeric, money, smallmoney.
bool IsNumberCode(int code) {
  return code == 62 || code == 59 || code == 106 || code == 108 || code == 60 || code == 122;
}

// True when text (blanks around it allowed) is a decimal number, as the
// engine would read it for a numeric column.
bool IsNumber(const std::string& text) {
  const size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return false;
  const std::string t = text.substr(b, text.find_last_not_of(' ') - b + 1);
  char* end = nullptr;
  errno = 0;
  std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && errno != ERANGE &&
         t.find_first_of("xXnN") == std::string::npos;
}

}  // namespace

void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request) {
  TableInfo table;
  if (!FindTable(db, request.table, &table)) {
    Fail("Invalid object name '" + request.table + "'.");
  }
  std::vector<Target> targets;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const TypeInfo type = TypeFromDeclared(table.columns[i].declared);
    if (type.code == 37) continue;  // never loaded from a file
    targets.push_back({table.columns[i].name, type, static_cast<int>(i) == table.identity});
  }
  if (targets.empty()) Fail("The table '" + table.name + "' has no column to load.");

  // The path reached us in UTF-8; the file system knows the host's bytes.
  const std::string path = FromUtf8(request.path);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail("Cannot bulk load because the file \"" + request.path +
             "\" could not be opened: " + std::strerror(errno),
         FailureKind::kResource);
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad())
    Fail("Cannot bulk load: reading \"" + request.path + "\" failed.", FailureKind::kResource);
  // The terminators came with the statement (UTF-8); the file is in the
  // host's code page.
  const std::string field_terminator = FromUtf8(request.field_terminator);
  const std::vector<std::string> lines = Lines(buffer.str(), FromUtf8(request.row_terminator));

  std::string columns;
  std::string marks;
  std::vector<size_t> bound;  // targets given a value in the statement
  for (size_t i = 0; i < targets.size(); ++i) {
    if (targets[i].identity && !request.keep_identity) continue;
    if (!columns.empty()) {
      columns += ", ";
      marks += ", ";
    }
    columns += QuoteName(targets[i].name);
    marks += "?" + std::to_string(bound.size() + 1);
    bound.push_back(i);
  }
  WriteTransaction tx(db);
  if (bound.empty()) Fail("The table '" + table.name + "' has no column to load.");
  Stmt insert(db, "INSERT INTO main." + QuoteName(table.name) + " (" + columns + ") VALUES (" +
                      marks + ")");
  for (size_t n = static_cast<size_t>(request.first_row - 1); n < lines.size(); ++n) {
    const std::string where = "line " + std::to_string(n + 1) + " of \"" + request.path + "\"";
    std::vector<std::string> fields = Split(lines[n], field_terminator);
    if (fields.size() == targets.size() + 1 && fields.back().empty()) fields.pop_back();
    if (fields.size() != targets.size()) {
      Fail("Bulk load: " + where + " has " + std::to_string(fields.size()) +
               " field(s), the table '" + table.name + "' takes " + std::to_string(targets.size()) +
               ".",
           FailureKind::kValue);
    }
    insert.Reset();
    for (size_t k = 0; k < bound.size(); ++k) {
      const Target& t = targets[bound[k]];
      const std::string& raw = fields[bound[k]];
      const int index = static_cast<int>(k + 1);
      if (raw.empty()) {
        insert.BindNull(index);
        continue;
      }
      if (IsIntegerCode(t.type.code)) {
        long long v;
        if (!ParseTsqlInt(raw, LLONG_MIN, LLONG_MAX, &v)) {
          Fail("Bulk load data conversion error (type mismatch) for " + where + ", column " +
                   t.name + ": '" + ToUtf8(raw) + "'.",
               FailureKind::kValue);
        }
        insert.BindInt(index, v);
        continue;
      }
      if (IsNumberCode(t.type.code)) {
        if (!IsNumber(raw)) {
          Fail("Bulk load data conversion error (type mismatch) for " + where + ", column " +
                   t.name + ": '" + ToUtf8(raw) + "'.",
               FailureKind::kValue);
        }
        // Bound as a double: the column then holds a number whatever its
        // declared affinity.
        insert.BindDouble(index, std::strtod(raw.c_str(), nullptr));
        continue;
      }
      // Fixed and variable character columns hold at most their declared
      // number of bytes in the host's code page.
      if ((t.type.code == 47 || t.type.code == 39) && t.type.length > 0 &&
          raw.size() > static_cast<size_t>(t.type.length)) {
        Fail("Bulk load data conversion error (truncation) for " + where + ", column " + t.name +
                 ".",
             FailureKind::kValue);
      }
      insert.BindText(index, ToUtf8(raw));
    }
    try {
      insert.Step();
    } catch (const _com_error& e) {
      throw _com_error(e.Error(), CString("Bulk load: " + where + ": " + e.Description().str()),
                       e.Kind());
    }
  }
  tx.Commit();
}

}  // namespace kestal::db::sqlite
