// What the rewriter needs to know about a target engine. The rewriter itself
// is engine-independent: every engine-specific output is a flag or a hook
// here, and each engine defines its one Dialect in its own folder.
#pragma once

#include <string>
#include <vector>

namespace kestal::db::tsql {

// A T-SQL data type as written in cast/convert: varchar(8), int, decimal(10,2).
struct SqlType {
  std::string name;  // lower-case base name: "varchar", "int", "datetime"
  int length = -1;   // first argument, -1 when absent (max gives 0)
  int scale = -1;    // second argument, -1 when absent
};

// The type of a number literal, which a character value compared with it is
// converted to (SQL Server's data type precedence): int for whole numbers in
// int's range, decimal for other numbers without an exponent, float with one.
enum class NumberType { kInt, kDecimal, kFloat };

struct Dialect {
  const char* name;                // for messages: "SQLite"
  const char* isnull_function;     // isnull(a,b): "ifnull" or "coalesce"
  const char* substring_function;  // substring(s,a,b): "substr"
  const char* length_function;     // len(s) becomes length_function(rtrim(s))
  const char* now_expression;      // getdate(): the local date and time
  // insert into T (c) (select ...): the engine rejects the parentheses.
  bool unwrap_insert_select;
  // [name] and "name" as the engine writes a name.
  std::string (*quote_identifier)(const std::string& name);
  // cast(expr as type) and convert(type, expr); expr is already rewritten.
  // Raises _com_error(kNotSupported) for a type it cannot give.
  std::string (*cast)(const std::string& expr, const SqlType& type);
  // convert(type, expr, style) for a date/time style such as 108 (hh:mi:ss).
  // Raises _com_error(kNotSupported) for a style it cannot give.
  std::string (*convert_style)(const std::string& expr, const SqlType& type, int style);
  // IDENT_CURRENT('table'): the last identity value given out, NULL when none.
  std::string (*ident_current)(const std::string& table);
  // A collation put after every string literal of a query or data statement,
  // so that comparisons with literals follow SQL Server's rules: trailing
  // blanks do not count, nor does the case of ASCII letters. Null: none.
  const char* literal_collation = nullptr;
  // T-SQL functions (lower case, null-terminated list) that the engine lacks
  // or gives another meaning; calling one raises kNotSupported. Null: none.
  const char* const* unsupported_functions = nullptr;
  // T-SQL functions the engine gives under another name (left ->
  // kestal_left): the new name for a lower-case name, or null to keep it.
  const char* (*function_name)(const std::string& name) = nullptr;
  // dateadd(unit, n, d), datediff(unit, a, b), datepart(unit, d) (also
  // year(d), month(d), day(d)): name is the lower-case function, unit its
  // canonical name (year, quarter, month, dayofyear, day, week, weekday,
  // hour, minute, second, millisecond), args the other arguments rewritten.
  // Null: these functions are refused.
  std::string (*date_function)(const std::string& name, const std::string& unit,
                               const std::vector<std::string>& args) = nullptr;
  // Functions for binary + and - (with T-SQL's precedence), when the
  // engine's operators mean something else for text: T-SQL concatenates
  // text with +. Null: the operators stay as written.
  const char* add_function = nullptr;
  const char* subtract_function = nullptr;
  // A function taking a whole chain a + b - c as chain(a, '+', b, '-', c)
  // with the steps of add_function and subtract_function, for an engine
  // whose parser cannot nest many calls; chain_terms is the most terms one
  // call may take (longer chains nest). Null: chains nest one call per sign.
  const char* chain_function = nullptr;
  int chain_terms = 0;
  // A character column compared with a number: expr (the column as written
  // for the engine) converted to type, strictly, so that a value that is no
  // such number fails the statement. Null: comparisons stay as written.
  std::string (*number_from_text)(const std::string& expr, NumberType type) = nullptr;
  // A table or column name as stored in the catalog, written so that the
  // engine finds exactly it (for an engine whose names mind case). Null:
  // names are written as quote_identifier writes them.
  std::string (*quote_stored_name)(const std::string& stored) = nullptr;
};

}  // namespace kestal::db::tsql
