// ResultReader (Results.h): the rows of libpq results packed as they arrive,
// with the text forms the other engines give; ReadsRowByRow: which queries
// come row by row. What must hold: a set is visible to the caller only once
// Take ends it, so a set cut short by a failure never leaves this file.
#include "sql/db/postgres/Results.h"

#include <cctype>

#include "sql/db/ComError.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::postgres {
namespace {

// Type oids whose text form is adjusted (pg_type.h).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kNumericOid = 1700;
constexpr Oid kTimeOid = 1083;
constexpr Oid kTimestampOid = 1114;
constexpr Oid kTimestampTzOid = 1184;

// 'YYYY-MM-DD HH:MM:SS.ffffff+08' -> 'YYYY-MM-DD HH:MM:SS'. Values of another
// shape (infinity, BC dates) stay as the server wrote them.
std::string WholeSeconds(const char* value, size_t date_length) {
  std::string text = value;
  const size_t seconds_end = date_length + 8;  // "HH:MM:SS" after the date part
  if (text.size() > seconds_end && text[seconds_end - 3] == ':' &&
      (date_length == 0 || text[date_length - 1] == ' ')) {
    text.resize(seconds_end);
  }
  return text;
}

// Binary as 0x and upper-case hex digits, from the server's '\x0a1b' form.
std::string Hex(const char* value) {
  if (value[0] != '\\' || value[1] != 'x') return value;
  std::string text = "0x";
  for (const char* p = value + 2; *p != '\0'; ++p) {
    text += (*p >= 'a' && *p <= 'f') ? static_cast<char>(*p - 'a' + 'A') : *p;
  }
  return text;
}

// A decimal without the trailing zeros of its scale ("12.50" -> "12.5",
// "3.00" -> "3"), as a decimal VARIANT turns into text.
std::string PlainDecimal(const char* value) {
  std::string text = value;
  if (text.find('.') == std::string::npos || text.find_first_of("eE") != std::string::npos) {
    return text;
  }
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

std::string Text(const PGresult* result, int row, int column, Oid type) {
  const char* value = PQgetvalue(result, row, column);
  switch (type) {
    case kBoolOid:
      return value[0] == 't' ? "1" : "0";
    case kByteaOid:
      return Hex(value);
    case kNumericOid:
      return PlainDecimal(value);
    case kFloat4Oid:
    case kFloat8Oid: {
      // The shortest exact text, with the exponent as a double VARIANT
      // writes it (1E+20).
      std::string text = value;
      for (char& c : text) {
        if (c == 'e') c = 'E';
      }
      return text;
    }
    case kTimeOid:
      return WholeSeconds(value, 0);
    case kTimestampOid:
    case kTimestampTzOid:
      return WholeSeconds(value, 11);
    default:
      return std::string(value, static_cast<size_t>(PQgetlength(result, row, column)));
  }
}

// True when values of type are handed over exactly as the server wrote them.
bool Plain(Oid type) {
  switch (type) {
    case kBoolOid:
    case kByteaOid:
    case kNumericOid:
    case kFloat4Oid:
    case kFloat8Oid:
    case kTimeOid:
    case kTimestampOid:
    case kTimestampTzOid:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool ReadsRowByRow(const std::string& sql) {
  // Writes, the most frequent statements, are told by their first word
  // without lexing their whole text.
  const size_t start = sql.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return false;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(sql[start])));
  if (c != 's' && c != 'w') return false;
  std::vector<tsql::Token> tokens;
  try {
    tokens = tsql::Lex(sql);
  } catch (const _com_error&) {
    return false;
  }
  bool first = true;
  int depth = 0;
  for (const tsql::Token& t : tokens) {
    if (tsql::IsBlank(t)) continue;
    if (first) {
      if (!tsql::IsWord(t, "select") && !tsql::IsWord(t, "with")) return false;
      first = false;
      continue;
    }
    if (tsql::IsPunct(t, "(")) ++depth;
    if (tsql::IsPunct(t, ")")) --depth;
    if (depth > 0) continue;
    for (const char* bound : {"where", "limit", "fetch", "offset"}) {
      if (tsql::IsWord(t, bound)) return false;
    }
  }
  return !first;
}

void ResultReader::Start(const PGresult* result) {
  table_ = std::make_unique<ResultTable>();
  seen_ = 0;
  const int columns = PQnfields(result);
  types_.assign(static_cast<size_t>(columns), 0);
  plain_.assign(static_cast<size_t>(columns), true);
  table_->columns.reserve(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    table_->columns.emplace_back(PQfname(result, c));
    types_[static_cast<size_t>(c)] = PQftype(result, c);
    plain_[static_cast<size_t>(c)] = Plain(types_[static_cast<size_t>(c)]);
  }
}

void ResultReader::Add(const PGresult* result) {
  if (!table_) Start(result);
  const int rows = PQntuples(result);
  const int columns = static_cast<int>(types_.size());
  for (int r = 0; r < rows; ++r) {
    ++seen_;
    if (limit_ > 0 && seen_ > limit_) continue;
    table_->AddRow();
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(result, r, c)) {
        table_->AddNull();
      } else if (plain_[static_cast<size_t>(c)]) {
        table_->AddText(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c)));
      } else {
        table_->AddText(Text(result, r, c, types_[static_cast<size_t>(c)]));
      }
    }
  }
}

std::unique_ptr<ResultTable> ResultReader::Take() {
  seen_ = 0;
  return std::move(table_);
}

void ResultReader::Drop() {
  table_.reset();
  seen_ = 0;
}

}  // namespace kestal::db::postgres
