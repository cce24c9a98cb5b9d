#include "sql/db/sqlite/Dialect.h"

#include <string>

#include "sql/db/ComError.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::sqlite {
namespace {

[[noreturn]] void NotSupported(const std::string& what) {
  throw _com_error(kNotSupported, CString("T-SQL construct not supported on SQLite: " + what));
}

bool IsText(const std::string& n) {
  return n == "char" || n == "varchar" || n == "nchar" || n == "nvarchar" || n == "text" ||
         n == "ntext" || n == "character";
}

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// Text cut to the declared length, as a conversion to char(n)/varchar(n)
// does. varchar without a length in a cast is varchar(30).
std::string CutText(const std::string& text_expr, const tsql::SqlType& type) {
  const int n = type.length < 0 ? 30 : type.length;
  if (n == 0) return text_expr;  // (max)
  return "substr(" + text_expr + ", 1, " + std::to_string(n) + ")";
}

std::string Cast(const std::string& expr, const tsql::SqlType& type) {
  const std::string& n = type.name;
  // Integers go through kestal_int: CAST(... AS INTEGER) would read '12abc'
  // as 12 where T-SQL refuses the conversion.
  if (n == "int" || n == "integer") return "kestal_int(" + expr + ", 32)";
  if (n == "bigint") return "kestal_int(" + expr + ", 64)";
  if (n == "smallint") return "kestal_int(" + expr + ", 16)";
  if (n == "tinyint") return "kestal_int(" + expr + ", 8)";
  if (n == "bit") return "kestal_int(" + expr + ", 1)";
  if (IsText(n)) return CutText("CAST(" + expr + " AS TEXT)", type);
  if (n == "float" || n == "real" || n == "double") return "CAST(" + expr + " AS REAL)";
  if (n == "decimal" || n == "numeric" || n == "dec" || n == "money" || n == "smallmoney") {
    const int scale = (n == "money" || n == "smallmoney") ? 4 : (type.scale < 0 ? 0 : type.scale);
    return "round(CAST(" + expr + " AS REAL), " + std::to_string(scale) + ")";
  }
  // DATETIME has NUMERIC affinity on SQLite, so CAST('09:30:15' AS DATETIME)
  // would give 9; kestal_datetime reads the T-SQL forms ('2026-12-07
  // 09:30:15', '09:30:15', '20261207', ...) and refuses what T-SQL refuses.
  if (n == "datetime" || n == "smalldatetime" || n == "datetime2") {
    return "kestal_datetime(" + expr + ")";
  }
  if (n == "date") return "substr(kestal_datetime(" + expr + "), 1, 10)";
  if (n == "time") return "substr(kestal_datetime(" + expr + "), 12)";
  NotSupported("conversion to " + n);
}

std::string ConvertStyle(const std::string& expr, const tsql::SqlType& type, int style) {
  if (!IsText(type.name)) {
    NotSupported("convert to " + type.name + " with style " + std::to_string(style));
  }
  const char* format = nullptr;
  switch (style) {
    case 8:
    case 108:
      format = "%H:%M:%S";
      break;
    case 112:
      format = "%Y%m%d";
      break;
    case 20:
    case 120:
      format = "%Y-%m-%d %H:%M:%S";
      break;
    case 21:
    case 121:
      format = "%Y-%m-%d %H:%M:%f";
      break;
    case 23:
      format = "%Y-%m-%d";
      break;
    case 102:
      format = "%Y.%m.%d";
      break;
    case 111:
      format = "%Y/%m/%d";
      break;
    default:
      NotSupported("convert style " + std::to_string(style));
  }
  return CutText("strftime(" + tsql::QuoteString(format) + ", " + expr + ")", type);
}

std::string IdentCurrent(const std::string& table) {
  return "kestal_ident_current(" + tsql::QuoteString(table) + ")";
}

// A character column compared with a number of type: converted strictly,
// so that the comparison is numeric and a value that is no number fails.
std::string NumberFromText(const std::string& expr, tsql::NumberType type) {
  switch (type) {
    case tsql::NumberType::kInt:
      return "kestal_int(" + expr + ", 32)";
    case tsql::NumberType::kDecimal:
      return "kestal_number(" + expr + ", 0)";
    case tsql::NumberType::kFloat:
      break;
  }
  return "kestal_number(" + expr + ", 1)";
}

// T-SQL functions SQLite lacks, or has with another meaning (log is base 10
// there, natural in T-SQL). Any other unknown function fails in SQLite with
// its name.
const char* const kUnsupportedFunctions[] = {
    "datename", "patindex", "stuff", "replicate", "space", "datalength", "object_id", "object_name",
    "newid", "scope_identity", "isnumeric", "isdate", "str", "reverse", "choose", "format",
    "concat", "try_cast", "try_convert", "parse", "try_parse", "count_big", "stdev", "stdevp",
    "var", "varp", "checksum", "binary_checksum", "col_length", "db_name", "user_name",
    "suser_sname", "host_name", "app_name", "getutcdate", "sysdatetime", "eomonth", "datefromparts",
    "ascii", "log", "log10", "square", "power", "ceiling", "floor", "exp", "sign", "pi", "sqrt",
    "rand",
    // SQLite's identity is INTEGER PRIMARY KEY AUTOINCREMENT.
    "identity", nullptr};

// T-SQL functions given by this engine's own functions (DateFunctions.h).
const char* FunctionName(const std::string& name) {
  if (name == "left") return "kestal_left";
  if (name == "right") return "kestal_right";
  if (name == "charindex") return "kestal_charindex";
  return nullptr;
}

std::string DateFunction(const std::string& name, const std::string& unit,
                         const std::vector<std::string>& args) {
  std::string out = "kestal_" + name + "(" + tsql::QuoteString(unit);
  for (const std::string& a : args) out += ", " + a;
  return out + ")";
}

const tsql::Dialect kDialect{
    "SQLite",
    "ifnull",
    "substr",
    "length",
    "datetime('now','localtime')",
    /*unwrap_insert_select=*/true,
    QuoteIdentifier,
    Cast,
    ConvertStyle,
    IdentCurrent,
    /*literal_collation=*/"TSQL",
    kUnsupportedFunctions,
    FunctionName,
    DateFunction,
    // SQLite's + adds text as numbers; T-SQL concatenates it.
    "kestal_add",
    "kestal_sub",
    // SQLite's parser takes about 30 nested calls; a chain goes flat, in
    // calls of at most 60 terms (SQLite allows 127 arguments).
    "kestal_chain",
    60,
    NumberFromText,
    // Names compare without regard to case on SQLite.
    /*quote_stored_name=*/nullptr,
};

}  // namespace

const tsql::Dialect& SqliteDialect() {
  return kDialect;
}

}  // namespace kestal::db::sqlite
