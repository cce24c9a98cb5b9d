#include "sql/db/postgres/Dialect.h"

#include <regex>

#include "sql/db/ComError.h"
#include "sql/db/postgres/Ident.h"

namespace kestal::db::postgres {
namespace {

std::string WithLength(const char* base, int length) {
  return length > 0 ? std::string(base) + "(" + std::to_string(length) + ")" : std::string(base);
}

[[noreturn]] void Unsupported(const std::string& what) {
  throw _com_error(kNotSupported, CString(what + " is not supported on PostgreSQL"));
}

// The PostgreSQL type for a T-SQL type of a cast target, or "" for the date
// and time types, which AsTimestamp handles.
std::string TargetType(const tsql::SqlType& type) {
  const std::string& n = type.name;
  if (n == "int" || n == "integer") return "integer";
  if (n == "bigint") return "bigint";
  if (n == "smallint" || n == "tinyint") return "smallint";
  if (n == "bit") return "bit";
  if (n == "float") return "double precision";
  if (n == "real") return "real";
  if (n == "money" || n == "smallmoney") return "numeric(19,4)";
  if (n == "decimal" || n == "numeric") {
    if (type.length > 0 && type.scale >= 0) {
      return "numeric(" + std::to_string(type.length) + "," + std::to_string(type.scale) + ")";
    }
    if (type.length > 0) return "numeric(" + std::to_string(type.length) + ",0)";
    return "numeric(18,0)";
  }
  // A character type without a length is 30 long in a cast, as on SQL Server.
  if (n == "varchar" || n == "nvarchar") {
    return type.length == 0 ? "text" : WithLength("varchar", type.length > 0 ? type.length : 30);
  }
  if (n == "char" || n == "nchar") return WithLength("char", type.length > 0 ? type.length : 30);
  if (n == "text" || n == "ntext") return "text";
  if (n == "date") return "date";
  if (n == "time") return "time(0)";
  if (n == "varbinary" || n == "binary" || n == "image") return "bytea";
  if (n == "datetime" || n == "smalldatetime" || n == "datetime2") return std::string();
  Unsupported("cast to " + n);
}

// to_char patterns of the CONVERT date styles hosts use.
const char* StylePattern(int style) {
  switch (style) {
    case 8:
    case 108:
      return "HH24:MI:SS";
    case 114:
      return "HH24:MI:SS:MS";
    case 20:
    case 120:
      return "YYYY-MM-DD HH24:MI:SS";
    case 21:
    case 121:
      return "YYYY-MM-DD HH24:MI:SS.MS";
    case 23:
      return "YYYY-MM-DD";
    case 102:
      return "YYYY.MM.DD";
    case 111:
      return "YYYY/MM/DD";
    case 112:
      return "YYYYMMDD";
    default:
      return nullptr;
  }
}

bool IsIntegerTarget(const std::string& target) {
  return target == "integer" || target == "bigint" || target == "smallint" || target == "bit";
}

// True when expr is one string literal ('...' with '' inside).
bool IsStringLiteral(const std::string& expr) {
  if (expr.size() < 2 || expr.front() != '\'' || expr.back() != '\'') return false;
  for (size_t i = 1; i + 1 < expr.size(); ++i) {
    if (expr[i] == '\'') {
      if (expr[i + 1] != '\'') return false;
      ++i;
    }
  }
  return true;
}

// True when expr is one number literal: 12, -3.5, 1e20.
bool IsNumberLiteral(const std::string& expr) {
  static const std::regex number(R"(\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*)");
  return std::regex_match(expr, number);
}

// A string literal's text (quotes removed, '' made one quote).
std::string LiteralText(const std::string& literal) {
  std::string text;
  for (size_t i = 1; i + 1 < literal.size(); ++i) {
    text += literal[i];
    if (literal[i] == '\'') ++i;
  }
  return text;
}

// cast(expr as int) with SQL Server's meaning: text must hold a whole number
// (blanks around it allowed) and blank text is 0; numbers are cut toward
// zero. A literal is settled here, because the server folds constant
// expressions in every branch of a CASE before it picks one.
std::string IntegerCast(const std::string& expr, const std::string& wanted) {
  // bit: any value other than 0 is 1, NULL stays NULL.
  if (wanted == "bit") return "cast(sign(abs(" + IntegerCast(expr, "bigint") + ")) as integer)";
  const std::string& target = wanted;
  if (IsNumberLiteral(expr)) return "cast(trunc(" + expr + ") as " + target + ")";
  if (IsStringLiteral(expr)) {
    if (expr.find_first_not_of(" \t'") == std::string::npos) return "cast(0 as " + target + ")";
    return "cast(" + expr + " as " + target + ")";
  }
  // Every branch reads the value's text, so the expression type-checks
  // whatever the type of expr; the type picks the rule at run time.
  const std::string text = "cast(" + expr + " as text)";
  const std::string type = "pg_typeof(" + expr + ")";
  return "(case when " + type +
         " in ('text'::regtype, 'character varying'::regtype, 'character'::regtype, "
         "'unknown'::regtype) then cast(case when " +
         text + " ~ '^\\s*$' then '0' else " + text + " end as " + target + ") when " + type +
         " in ('numeric'::regtype, 'double precision'::regtype, 'real'::regtype) then cast(trunc(" +
         "cast(" + text + " as numeric)) as " + target + ") when " + type +
         " = 'boolean'::regtype then cast(case " + text +
         " when 'true' then 1 when 'false' then 0 "
         "end as " +
         target + ") else cast(" + text + " as " + target + ") end)";
}

std::string Trimmed(const std::string& text) {
  const size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
}

std::string Cast(const std::string& written, const tsql::SqlType& type) {
  const std::string expr = Trimmed(written);
  const std::string target = TargetType(type);
  if (IsIntegerTarget(target)) return IntegerCast(expr, target);
  if (target.empty()) return AsTimestamp(expr);
  return "cast(" + expr + " as " + target + ")";
}

std::string ConvertStyle(const std::string& written, const tsql::SqlType& type, int style) {
  const std::string expr = Trimmed(written);
  const char* pattern = StylePattern(style);
  if (pattern == nullptr) Unsupported("convert style " + std::to_string(style));
  std::string text = "to_char(" + AsTimestamp(expr) + ", '" + pattern + "')";
  const bool character = type.name == "varchar" || type.name == "nvarchar" || type.name == "char" ||
                         type.name == "nchar";
  if (!character) Unsupported("convert style " + std::to_string(style) + " to " + type.name);
  // varchar(n) cuts the text to n characters, as on SQL Server.
  if (type.length > 0) text = "cast(" + text + " as varchar(" + std::to_string(type.length) + "))";
  return text;
}

std::string QuoteIdentifier(const std::string& name) {
  return QuoteName(name);
}

// A name as stored, quoted so that the server finds exactly it.
std::string QuoteStoredName(const std::string& stored) {
  std::string out = "\"";
  for (char c : stored) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// A character column compared with a number of type: its text converted
// strictly (blanks around the number allowed; blank text is 0 for int and
// float, an error for decimal, as on SQL Server), so that the comparison is
// numeric and a value that is no number fails the statement.
std::string NumberFromText(const std::string& expr, tsql::NumberType type) {
  const std::string text = "cast(" + expr + " as text)";
  switch (type) {
    case tsql::NumberType::kInt:
      return "(case when btrim(" + text + ") = '' then 0 else cast(" + text + " as integer) end)";
    case tsql::NumberType::kDecimal:
      return "cast(" + text + " as numeric)";
    case tsql::NumberType::kFloat:
      break;
  }
  return "(case when btrim(" + text + ") = '' then 0 else cast(" + text +
         " as double precision) end)";
}

// T-SQL functions the server lacks, or has with another meaning (log is
// base 10 there with one argument, natural in T-SQL; format and ascii read
// their arguments otherwise). Any other unknown function fails on the server
// with its name.
const char* const kUnsupportedFunctions[] = {"datename",    "patindex",
                                             "stuff",       "replicate",
                                             "space",       "datalength",
                                             "object_id",   "object_name",
                                             "newid",       "scope_identity",
                                             "isnumeric",   "isdate",
                                             "str",         "choose",
                                             "format",      "try_cast",
                                             "try_convert", "parse",
                                             "try_parse",   "count_big",
                                             "stdev",       "stdevp",
                                             "var",         "varp",
                                             "checksum",    "binary_checksum",
                                             "col_length",  "db_name",
                                             "user_name",   "suser_sname",
                                             "host_name",   "app_name",
                                             "getutcdate",  "sysdatetime",
                                             "eomonth",     "datefromparts",
                                             "ascii",       "log",
                                             "square",      "rand",
                                             nullptr};

// T-SQL functions given by the session's own functions (Session.cc creates
// them in pg_temp, which is searched only when named): the server's left and
// right read a negative length as "all but", and its strpos minds case.
const char* FunctionName(const std::string& name) {
  if (name == "left") return "pg_temp.kestal_left";
  if (name == "right") return "pg_temp.kestal_right";
  if (name == "charindex") return "pg_temp.kestal_charindex";
  return nullptr;
}

// Seconds since 1970 of a timestamp, for the differences of fixed units.
std::string Epoch(const std::string& ts) {
  return "extract(epoch from " + ts + ")";
}

// Index of the Sunday-to-Saturday week holding the day of ts (DATEFIRST 7):
// 1970-01-04 was a Sunday.
std::string WeekIndex(const std::string& ts) {
  return "floor((cast(" + ts + " as date) - date '1970-01-04') / 7.0)";
}

std::string Field(const char* field, const std::string& ts) {
  return "extract(" + std::string(field) + " from " + ts + ")";
}

// DATEPART of a timestamp expression, as an integer.
std::string DatePart(const std::string& unit, const std::string& ts) {
  std::string v;
  if (unit == "year" || unit == "quarter" || unit == "month" || unit == "day" || unit == "hour" ||
      unit == "minute") {
    v = Field(unit.c_str(), ts);
  } else if (unit == "dayofyear") {
    v = Field("doy", ts);
  } else if (unit == "weekday") {
    v = Field("dow", ts) + " + 1";  // Sunday is 1
  } else if (unit == "week") {
    // Week 1 holds January 1; weeks start on Sunday.
    v = WeekIndex(ts) + " - " + WeekIndex("date_trunc('year', " + ts + ")") + " + 1";
  } else if (unit == "second") {
    v = "floor(" + Field("second", ts) + ")";
  } else if (unit == "millisecond") {
    v = "mod(floor(" + Field("milliseconds", ts) + "), 1000)";
  } else {
    Unsupported("the date part " + unit);
  }
  return "cast(" + v + " as integer)";
}

// The interval of n units for DATEADD (n already an integer expression).
std::string UnitInterval(const std::string& unit, const std::string& n) {
  if (unit == "year") return "make_interval(years => " + n + ")";
  if (unit == "quarter") return "make_interval(months => 3 * " + n + ")";
  if (unit == "month") return "make_interval(months => " + n + ")";
  if (unit == "week") return "make_interval(weeks => " + n + ")";
  if (unit == "day" || unit == "dayofyear" || unit == "weekday") {
    return "make_interval(days => " + n + ")";
  }
  if (unit == "hour") return "make_interval(hours => " + n + ")";
  if (unit == "minute") return "make_interval(mins => " + n + ")";
  if (unit == "second") return "make_interval(secs => " + n + ")";
  if (unit == "millisecond") return "(" + n + ") * interval '1 millisecond'";
  Unsupported("the date part " + unit);
}

// Seconds to units of hour, minute, second or millisecond, as an operator
// and its operand to put after a number of seconds.
std::string FixedUnitScale(const std::string& unit) {
  if (unit == "hour") return " / 3600";
  if (unit == "minute") return " / 60";
  if (unit == "second") return std::string();
  if (unit == "millisecond") return " * 1000";
  Unsupported("the date part " + unit);
}

// DATEDIFF: unit boundaries crossed from a to b, refused beyond int's range.
std::string DateDiff(const std::string& unit, const std::string& a, const std::string& b) {
  std::string v;
  if (unit == "year") {
    v = Field("year", b) + " - " + Field("year", a);
  } else if (unit == "quarter" || unit == "month") {
    const std::string part = unit == "month" ? "month" : "quarter";
    const std::string per_year = unit == "month" ? "12" : "4";
    v = "(" + Field("year", b) + " * " + per_year + " + " + Field(part.c_str(), b) + ") - (" +
        Field("year", a) + " * " + per_year + " + " + Field(part.c_str(), a) + ")";
  } else if (unit == "day" || unit == "dayofyear" || unit == "weekday") {
    v = "cast(" + b + " as date) - cast(" + a + " as date)";
  } else if (unit == "week") {
    v = WeekIndex(b) + " - " + WeekIndex(a);
  } else {
    // Fixed units: whole units since 1970 at each end.
    const std::string scale = FixedUnitScale(unit);
    v = "floor(" + Epoch(b) + scale + ") - floor(" + Epoch(a) + scale + ")";
  }
  return "cast(" + v + " as integer)";
}

// dateadd, datediff and datepart (year, month, day come as datepart) with
// T-SQL's meaning: date arguments read as cast(... as datetime) reads them,
// weeks start on Sunday, results stay inside datetime's range.
std::string DateFunction(const std::string& name, const std::string& unit,
                         const std::vector<std::string>& args) {
  if (name == "datepart" && args.size() == 1) return DatePart(unit, AsTimestamp(Trimmed(args[0])));
  if (name == "dateadd" && args.size() == 2) {
    const std::string n = IntegerCast(Trimmed(args[0]), "integer");
    return "pg_temp.kestal_datetime(" + AsTimestamp(Trimmed(args[1])) + " + " +
           UnitInterval(unit, n) + ")";
  }
  if (name == "datediff" && args.size() == 2) {
    return DateDiff(unit, AsTimestamp(Trimmed(args[0])), AsTimestamp(Trimmed(args[1])));
  }
  Unsupported("the function " + name);
}

}  // namespace

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') {
      out += "\"\"";
    } else if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string TablePart(const std::string& reference) {
  std::string name = reference;
  // The last dot outside brackets separates the table from owner or database.
  size_t cut = std::string::npos;
  bool in_bracket = false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '[') in_bracket = true;
    if (name[i] == ']') in_bracket = false;
    if (name[i] == '.' && !in_bracket) cut = i;
  }
  if (cut != std::string::npos) name = name.substr(cut + 1);
  if (name.size() >= 2 && ((name.front() == '[' && name.back() == ']') ||
                           (name.front() == '"' && name.back() == '"'))) {
    name = name.substr(1, name.size() - 2);
  }
  return name;
}

std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

std::string AsTimestamp(const std::string& expr) {
  // cast(x as datetime) inside convert(..., 108) is converted once, not twice.
  static const std::string kHead = "(case when cast(";
  static const std::string kTail = " as timestamp(3)) end)";
  if (expr.compare(0, kHead.size(), kHead) == 0 && expr.size() > kTail.size() &&
      expr.compare(expr.size() - kTail.size(), kTail.size(), kTail) == 0) {
    return expr;
  }
  // A literal is settled here, for the reason IntegerCast gives.
  if (IsStringLiteral(expr)) {
    static const std::regex time_only(R"(\s*\d{1,2}:\d.*)");
    const std::string value = LiteralText(expr);
    if (value.find_first_not_of(" \t") == std::string::npos) {
      return "cast('1900-01-01' as timestamp(3))";
    }
    return "cast(" + (std::regex_match(value, time_only) ? Literal("1900-01-01 " + value) : expr) +
           " as timestamp(3))";
  }
  const std::string text = "cast(" + expr + " as text)";
  return "(case when " + text + " ~ '^\\s*$' then cast('1900-01-01' as timestamp(3)) when " + text +
         " ~ '^\\s*\\d{1,2}:\\d' then cast('1900-01-01 ' || " + text +
         " as timestamp(3)) else cast(" + text + " as timestamp(3)) end)";
}

const tsql::Dialect& PostgresDialect() {
  static const tsql::Dialect dialect = {
      "PostgreSQL",
      "coalesce",
      "substr",
      "length",
      "localtimestamp(3)",
      /*unwrap_insert_select=*/false,
      &QuoteIdentifier,
      &Cast,
      &ConvertStyle,
      &IdentCurrentExpression,
      // Comparisons stay the server's own: case and trailing blanks count.
      /*literal_collation=*/nullptr,
      kUnsupportedFunctions,
      &FunctionName,
      &DateFunction,
      // The server's + adds numbers only; T-SQL concatenates text with it
      // and converts text next to a number. The session's functions choose
      // by the operands' types, as T-SQL does.
      "pg_temp.kestal_add",
      "pg_temp.kestal_sub",
      // The server nests calls as deep as the rewriter's chains go.
      /*chain_function=*/nullptr,
      /*chain_terms=*/0,
      &NumberFromText,
      // Names mind case on the server: a table made as "Trades" is found
      // by any spelling.
      &QuoteStoredName,
  };
  return dialect;
}

}  // namespace kestal::db::postgres
