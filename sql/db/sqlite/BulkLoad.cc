// BULK INSERT on SQLite (BulkLoad.h): the file is read whole, cut into
// lines and fields in place, and each line inserted through one prepared
// statement inside one transaction.
#include "sql/db/sqlite/BulkLoad.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
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

// The pieces of text between the separators, as views into text; sep is
// never empty (the rewriter refuses an empty terminator).
void Split(std::string_view text, std::string_view sep, std::vector<std::string_view>* parts) {
  parts->clear();
  size_t start = 0;
  while (true) {
    // A one-byte separator (the library's ',') is looked for as a byte.
    const size_t at = sep.size() == 1 ? text.find(sep[0], start) : text.find(sep, start);
    if (at == std::string_view::npos) {
      parts->push_back(text.substr(start));
      return;
    }
    parts->push_back(text.substr(start, at - start));
    start = at + sep.size();
  }
}

// The lines of content: split at terminator, or at LF with one CR before it
// dropped when no terminator is given; the empty lines at the end are none.
std::vector<std::string_view> Lines(std::string_view content, const std::string& terminator) {
  std::vector<std::string_view> lines;
  if (terminator.empty()) {
    Split(content, "\n", &lines);
    for (auto& l : lines) {
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    }
  } else {
    Split(content, terminator, &lines);
  }
  // The terminator after the last line leaves one empty piece.
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// True when text is plain ASCII: the same bytes in every code page.
bool IsAsciiText(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The value of text when it is a plain decimal number (blanks around it, an
// optional sign, digits with at most one point, at least one digit) of at
// most 15 digits and 22 after the point: the digits then make an integer a
// double holds exactly, and a power of ten a double holds exactly, so one
// division rounds once, to the same double as strtod. False for any other
// text, which takes the general check.
bool ExactDecimal(std::string_view text, double* value) {
  static const double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  size_t i = 0;
  size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  while (n > i && text[n - 1] == ' ') --n;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long digits = 0;
  int count = 0;
  int after_point = -1;  // -1: no point yet
  for (; i < n; ++i) {
    const char c = text[i];
    if (c == '.' && after_point < 0) {
      after_point = 0;
      continue;
    }
    if (c < '0' || c > '9' || ++count > 15) return false;
    digits = digits * 10 + (c - '0');
    if (after_point >= 0 && ++after_point > 22) return false;
  }
  if (count == 0) return false;
  const double magnitude = static_cast<double>(digits) / kPowers[after_point < 0 ? 0 : after_point];
  *value = negative ? -magnitude : magnitude;
  return true;
}

// Reads the whole file open at fd into *content and closes fd; false with
// errno set when it cannot be read.
bool ReadWhole(int fd, std::string* content) {
  struct stat info;
  if (fstat(fd, &info) == 0 && info.st_size > 0)
    content->reserve(static_cast<size_t>(info.st_size));
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    content->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
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
  const size_t e = text.find_last_not_of(' ') + 1;
  // strtod stops at the first blank after the number, so a number with
  // blanks after it ends where they begin.
  char* end = nullptr;
  errno = 0;
  std::strtod(text.c_str() + b, &end);
  return end == text.c_str() + e && errno != ERANGE &&
         text.find_first_of("xXnN", b) == std::string::npos;
}

}  // namespace

// The table a load goes into, as the catalog describes it, and the insert of
// one line.
struct BulkLoadCache::Plan {
  std::string requested;  // the table as the statement names it
  bool keep_identity = false;
  long long schema = -1;  // PRAGMA schema_version when it was read
  TableInfo table;
  std::vector<Target> targets;  // the loadable columns, one field each
  std::vector<size_t> bound;    // targets given a value in the insert
  std::string insert;
};

BulkLoadCache::BulkLoadCache() = default;

BulkLoadCache::~BulkLoadCache() = default;

namespace {

// Reads the plan of request's table from the catalog. Raises for a table
// that does not exist or has no loadable column.
void ReadPlan(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache::Plan* plan) {
  TableInfo& table = plan->table;
  if (!FindTable(db, request.table, &table)) {
    Fail("Invalid object name '" + request.table + "'.");
  }
  std::vector<Target>& targets = plan->targets;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const TypeInfo type = TypeFromDeclared(table.columns[i].declared);
    if (type.code == 37) continue;  // never loaded from a file
    targets.push_back({table.columns[i].name, type, static_cast<int>(i) == table.identity});
  }
  if (targets.empty()) Fail("The table '" + table.name + "' has no column to load.");
  std::string columns;
  std::string marks;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (targets[i].identity && !request.keep_identity) continue;
    if (!columns.empty()) {
      columns += ", ";
      marks += ", ";
    }
    columns += QuoteName(targets[i].name);
    marks += "?" + std::to_string(plan->bound.size() + 1);
    plan->bound.push_back(i);
  }
  plan->insert =
      "INSERT INTO main." + QuoteName(table.name) + " (" + columns + ") VALUES (" + marks + ")";
  plan->requested = request.table;
  plan->keep_identity = request.keep_identity;
}

}  // namespace

void BulkLoad(sqlite3* db, const tsql::BulkInsertRequest& request, BulkLoadCache* cache,
              long long schema_version) {
  // The catalog is read again only when the schema has changed since the
  // plan was kept, or another table is loaded.
  const long long schema = cache != nullptr ? schema_version : -1;
  BulkLoadCache::Plan fresh;
  const BulkLoadCache::Plan* plan = nullptr;
  if (schema >= 0 && cache->plan_ && cache->plan_->schema == schema &&
      cache->plan_->requested == request.table &&
      cache->plan_->keep_identity == request.keep_identity) {
    plan = cache->plan_.get();
  } else {
    if (cache != nullptr) cache->plan_.reset();
    ReadPlan(db, request, &fresh);
    fresh.schema = schema;
    if (schema >= 0) {
      cache->plan_ = std::make_unique<BulkLoadCache::Plan>(std::move(fresh));
      plan = cache->plan_.get();
    } else {
      plan = &fresh;
    }
  }
  const TableInfo& table = plan->table;
  const std::vector<Target>& targets = plan->targets;
  const std::vector<size_t>& bound = plan->bound;

  // The path reached us in UTF-8; the file system knows the host's bytes.
  const std::string path = FromUtf8(request.path);
  std::string content;
  const int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (opened < 0) {
    Fail("Cannot bulk load because the file \"" + request.path +
             "\" could not be opened: " + std::strerror(errno),
         FailureKind::kResource);
  }
  if (!ReadWhole(opened, &content)) {
    Fail("Cannot bulk load: reading \"" + request.path + "\" failed: " + std::strerror(errno) + ".",
         FailureKind::kResource);
  }
  // The terminators came with the statement (UTF-8); the file is in the
  // host's code page.
  const std::string field_terminator = FromUtf8(request.field_terminator);
  const std::vector<std::string_view> lines = Lines(content, FromUtf8(request.row_terminator));

  WriteTransaction tx(db);
  if (bound.empty()) Fail("The table '" + table.name + "' has no column to load.");
  Stmt insert(db, plan->insert);
  std::vector<std::string_view> fields;  // of the current line, into content
  std::string value;                     // a field as text, for the number checks
  std::string utf8;                      // a converted text field
  for (size_t n = static_cast<size_t>(request.first_row - 1); n < lines.size(); ++n) {
    // Made only for a message: most lines never need it.
    const auto where = [&] {
      return "line " + std::to_string(n + 1) + " of \"" + request.path + "\"";
    };
    Split(lines[n], field_terminator, &fields);
    if (fields.size() == targets.size() + 1 && fields.back().empty()) fields.pop_back();
    if (fields.size() != targets.size()) {
      Fail("Bulk load: " + where() + " has " + std::to_string(fields.size()) +
               " field(s), the table '" + table.name + "' takes " + std::to_string(targets.size()) +
               ".",
           FailureKind::kValue);
    }
    // Every parameter is bound again for each line, so the bindings of the
    // line before need no clearing.
    sqlite3_reset(insert.get());
    for (size_t k = 0; k < bound.size(); ++k) {
      const Target& t = targets[bound[k]];
      const std::string_view raw = fields[bound[k]];
      const int index = static_cast<int>(k + 1);
      if (raw.empty()) {
        insert.BindNull(index);
        continue;
      }
      double number;
      if (IsNumberCode(t.type.code) && ExactDecimal(raw, &number)) {
        insert.BindDouble(index, number);
        continue;
      }
      if (IsIntegerCode(t.type.code) || IsNumberCode(t.type.code)) {
        value.assign(raw.data(), raw.size());
        if (IsIntegerCode(t.type.code)) {
          long long v;
          if (!ParseTsqlInt(value, LLONG_MIN, LLONG_MAX, &v)) {
            Fail("Bulk load data conversion error (type mismatch) for " + where() + ", column " +
                     t.name + ": '" + ToUtf8(value) + "'.",
                 FailureKind::kValue);
          }
          insert.BindInt(index, v);
          continue;
        }
        if (!IsNumber(value)) {
          Fail("Bulk load data conversion error (type mismatch) for " + where() + ", column " +
                   t.name + ": '" + ToUtf8(value) + "'.",
               FailureKind::kValue);
        }
        // Bound as a double: the column then holds a number whatever its
        // declared affinity.
        insert.BindDouble(index, std::strtod(value.c_str(), nullptr));
        continue;
      }
      // Fixed and variable character columns hold at most their declared
      // number of bytes in the host's code page.
      if ((t.type.code == 47 || t.type.code == 39) && t.type.length > 0 &&
          raw.size() > static_cast<size_t>(t.type.length)) {
        Fail("Bulk load data conversion error (truncation) for " + where() + ", column " + t.name +
                 ".",
             FailureKind::kValue);
      }
      // ASCII is the same in every code page: such a field is bound where it
      // lies, for as long as the line is being inserted.
      if (IsAsciiText(raw)) {
        const int rc = sqlite3_bind_text(insert.get(), index, raw.data(),
                                         static_cast<int>(raw.size()), SQLITE_STATIC);
        if (rc != SQLITE_OK) Raise(db, rc);
      } else {
        utf8 = ToUtf8(std::string(raw));
        insert.BindText(index, utf8);
      }
    }
    try {
      insert.Step();
    } catch (const _com_error& e) {
      throw _com_error(e.Error(), CString("Bulk load: " + where() + ": " + e.Description().str()),
                       e.Kind());
    }
  }
  tx.Commit();
}

}  // namespace kestal::db::sqlite
