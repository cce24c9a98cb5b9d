#include "sql/db/sqlite/Functions.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "sql/db/TypeCodes.h"
#include "sql/db/sqlite/DateFunctions.h"
#include "sql/db/sqlite/DateTime.h"
#include "sql/db/sqlite/Errors.h"
#include "sql/db/sqlite/Values.h"

namespace kestal::db::sqlite {
namespace {

void Range(int bits, long long* min, long long* max) {
  switch (bits) {
    case 1:
    case 64:
      *min = LLONG_MIN;
      *max = LLONG_MAX;
      return;
    case 8:
      *min = 0;
      *max = 255;
      return;
    case 16:
      *min = -32768;
      *max = 32767;
      return;
    default:
      *min = INT_MIN;
      *max = INT_MAX;
      return;
  }
}

const char* TypeName(int bits) {
  switch (bits) {
    case 1:
      return "bit";
    case 8:
      return "tinyint";
    case 16:
      return "smallint";
    case 64:
      return "bigint";
    default:
      return "int";
  }
}

void IntCast(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const int bits = argc > 1 ? sqlite3_value_int(argv[1]) : 32;
  long long min;
  long long max;
  Range(bits, &min, &max);
  long long v = 0;
  switch (sqlite3_value_type(argv[0])) {
    case SQLITE_NULL:
      sqlite3_result_null(ctx);
      return;
    case SQLITE_INTEGER:
      v = sqlite3_value_int64(argv[0]);
      if (v < min || v > max) {
        sqlite3_result_error(ctx,
                             (std::string("Arithmetic overflow error converting expression "
                                          "to data type ") +
                              TypeName(bits) + ".")
                                 .c_str(),
                             -1);
        return;
      }
      break;
    case SQLITE_FLOAT: {
      // Numeric to integer truncates toward zero.
      const double d = std::trunc(sqlite3_value_double(argv[0]));
      if (!(d >= static_cast<double>(min) && d <= static_cast<double>(max))) {
        sqlite3_result_error(ctx,
                             (std::string("Arithmetic overflow error converting expression "
                                          "to data type ") +
                              TypeName(bits) + ".")
                                 .c_str(),
                             -1);
        return;
      }
      v = static_cast<long long>(d);
      break;
    }
    default: {
      const unsigned char* t = sqlite3_value_text(argv[0]);
      const std::string text = t ? reinterpret_cast<const char*>(t) : "";
      if (!ParseTsqlInt(text, min, max, &v)) {
        const std::string msg = "Conversion failed when converting the varchar value '" + text +
                                "' to data type " + TypeName(bits) + ".";
        sqlite3_result_error(ctx, msg.c_str(), -1);
        return;
      }
      break;
    }
  }
  if (bits == 1) v = v != 0;
  sqlite3_result_int64(ctx, v);
}

void DateTimeCast(sqlite3_context* ctx, int, sqlite3_value** argv) {
  std::string out;
  bool ok = false;
  switch (sqlite3_value_type(argv[0])) {
    case SQLITE_NULL:
      sqlite3_result_null(ctx);
      return;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
      ok = DaysToTsqlDateTime(sqlite3_value_double(argv[0]), &out);
      break;
    default: {
      const unsigned char* t = sqlite3_value_text(argv[0]);
      ok = ParseTsqlDateTime(t ? reinterpret_cast<const char*>(t) : "", &out);
      break;
    }
  }
  if (!ok) {
    sqlite3_result_error(
        ctx, "Conversion failed when converting date and/or time from character string.", -1);
    return;
  }
  sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// T-SQL's conversion of a character value to the type of a number it is
// compared with: kestal_number(x, 0) to decimal (digits with an optional
// point, no exponent, blank text refused), kestal_number(x, 1) to float (an
// exponent allowed, blank text 0). Blanks around the number are allowed.
// Numbers pass unchanged, NULL stays NULL; anything else is an error, as the
// comparison is on SQL Server.
void NumberCast(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const int type = sqlite3_value_type(argv[0]);
  if (type == SQLITE_NULL) return sqlite3_result_null(ctx);
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return sqlite3_result_value(ctx, argv[0]);
  const bool is_float = sqlite3_value_int(argv[1]) != 0;
  const unsigned char* t = sqlite3_value_text(argv[0]);
  const std::string text = t ? reinterpret_cast<const char*>(t) : "";
  const size_t b = text.find_first_not_of(" \t\r\n");
  const std::string trimmed = b == std::string::npos
                                  ? std::string()
                                  : text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
  if (trimmed.empty() && is_float) return sqlite3_result_int64(ctx, 0);
  // sign, digits, optional point and digits (at least one digit), then for
  // float an optional exponent.
  size_t i = 0;
  if (i < trimmed.size() && (trimmed[i] == '+' || trimmed[i] == '-')) ++i;
  size_t digits = 0;
  while (i < trimmed.size() && trimmed[i] >= '0' && trimmed[i] <= '9') ++i, ++digits;
  if (i < trimmed.size() && trimmed[i] == '.') {
    ++i;
    while (i < trimmed.size() && trimmed[i] >= '0' && trimmed[i] <= '9') ++i, ++digits;
  }
  bool ok = digits > 0;
  if (ok && is_float && i < trimmed.size() && (trimmed[i] == 'e' || trimmed[i] == 'E')) {
    ++i;
    if (i < trimmed.size() && (trimmed[i] == '+' || trimmed[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < trimmed.size() && trimmed[i] >= '0' && trimmed[i] <= '9') ++i, ++exp_digits;
    ok = exp_digits > 0;
  }
  if (!ok || i != trimmed.size()) {
    const std::string msg = is_float ? "Error converting data type varchar to float."
                                     : "Error converting data type varchar to numeric.";
    return sqlite3_result_error(ctx, msg.c_str(), -1);
  }
  long long whole;
  if (ParseTsqlInt(trimmed, LLONG_MIN, LLONG_MAX, &whole)) return sqlite3_result_int64(ctx, whole);
  sqlite3_result_double(ctx, std::strtod(trimmed.c_str(), nullptr));
}

// One operand or result of T-SQL's + and -.
struct Operand {
  int type = SQLITE_NULL;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL
  long long i = 0;
  double d = 0;
  std::string text;
};

Operand FromValue(sqlite3_value* v) {
  Operand o;
  o.type = sqlite3_value_type(v);
  if (o.type == SQLITE_INTEGER) o.i = sqlite3_value_int64(v);
  if (o.type == SQLITE_FLOAT) o.d = sqlite3_value_double(v);
  if (o.type == SQLITE_TEXT) {
    const unsigned char* t = sqlite3_value_text(v);
    o.text.assign(t ? reinterpret_cast<const char*>(t) : "",
                  static_cast<size_t>(sqlite3_value_bytes(v)));
  }
  return o;
}

void SetResult(sqlite3_context* ctx, const Operand& o) {
  switch (o.type) {
    case SQLITE_INTEGER:
      return sqlite3_result_int64(ctx, o.i);
    case SQLITE_FLOAT:
      return sqlite3_result_double(ctx, o.d);
    case SQLITE_TEXT:
      return sqlite3_result_text(ctx, o.text.c_str(), static_cast<int>(o.text.size()),
                                 SQLITE_TRANSIENT);
    default:
      return sqlite3_result_null(ctx);
  }
}

// The numeric value of operand v, converted as T-SQL converts text to the
// type of the other operand (other_type: SQLITE_INTEGER or SQLITE_FLOAT).
// Returns false, with *error set, for text that is no such number.
bool Numeric(const Operand& v, int other_type, long long* i, double* d, bool* is_int,
             std::string* error) {
  if (v.type == SQLITE_INTEGER) {
    *i = v.i;
    *is_int = true;
    return true;
  }
  if (v.type == SQLITE_FLOAT) {
    *d = v.d;
    *is_int = false;
    return true;
  }
  const std::string& text = v.text;
  if (other_type == SQLITE_INTEGER) {
    if (ParseTsqlInt(text, LLONG_MIN, LLONG_MAX, i)) {
      *is_int = true;
      return true;
    }
    *error = "Conversion failed when converting the varchar value '" + text + "' to data type int.";
    return false;
  }
  char* end = nullptr;
  const size_t b = text.find_first_not_of(' ');
  const std::string trimmed =
      b == std::string::npos ? std::string() : text.substr(b, text.find_last_not_of(' ') - b + 1);
  *d = std::strtod(trimmed.c_str(), &end);
  if (trimmed.empty() || end != trimmed.c_str() + trimmed.size()) {
    *error = "Error converting data type varchar to float.";
    return false;
  }
  *is_int = false;
  return true;
}

// T-SQL's binary + (add) or - on two operands: *a becomes the result.
// Returns false, with *error set, when T-SQL refuses the operation.
bool Combine(Operand* a, const Operand& b, bool add, std::string* error) {
  if (a->type == SQLITE_NULL || b.type == SQLITE_NULL) {
    *a = Operand();
    return true;
  }
  if (a->type == SQLITE_BLOB || b.type == SQLITE_BLOB) {
    *error = "The data types are incompatible in this operator.";
    return false;
  }
  if (a->type == SQLITE_TEXT && b.type == SQLITE_TEXT) {
    if (!add) {
      *error = "The data types varchar and varchar are incompatible in the subtract operator.";
      return false;
    }
    a->text += b.text;
    return true;
  }
  long long ia = 0, ib = 0;
  double da = 0, db = 0;
  bool a_int = false, b_int = false;
  if (!Numeric(*a, b.type, &ia, &da, &a_int, error) ||
      !Numeric(b, a->type, &ib, &db, &b_int, error)) {
    return false;
  }
  Operand r;
  if (a_int && b_int) {
    const bool overflow =
        add ? __builtin_add_overflow(ia, ib, &r.i) : __builtin_sub_overflow(ia, ib, &r.i);
    if (overflow) {
      *error = "Arithmetic overflow error converting expression to data type bigint.";
      return false;
    }
    r.type = SQLITE_INTEGER;
  } else {
    const double x = a_int ? static_cast<double>(ia) : da;
    const double y = b_int ? static_cast<double>(ib) : db;
    r.type = SQLITE_FLOAT;
    r.d = add ? x + y : x - y;
  }
  *a = std::move(r);
  return true;
}

// T-SQL's binary + (add) or - on two values.
void Arithmetic(sqlite3_context* ctx, sqlite3_value** argv, bool add) {
  Operand a = FromValue(argv[0]);
  std::string error;
  if (!Combine(&a, FromValue(argv[1]), add, &error)) {
    return sqlite3_result_error(ctx, error.c_str(), -1);
  }
  SetResult(ctx, a);
}

void Add(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Arithmetic(ctx, argv, true);
}
void Subtract(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Arithmetic(ctx, argv, false);
}

// kestal_chain(a, '+', b, '-', c, ...): a + b - c ... left to right, each
// step as kestal_add / kestal_sub; one flat call for a long chain, which
// SQLite's parser could not take as nested calls.
void Chain(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc < 1 || argc % 2 == 0) {
    return sqlite3_result_error(ctx, "kestal_chain takes an odd number of arguments.", -1);
  }
  Operand a = FromValue(argv[0]);
  std::string error;
  for (int k = 1; k + 1 < argc; k += 2) {
    const unsigned char* op = sqlite3_value_text(argv[k]);
    const bool add = op && op[0] == '+';
    if (!Combine(&a, FromValue(argv[k + 1]), add, &error)) {
      return sqlite3_result_error(ctx, error.c_str(), -1);
    }
  }
  SetResult(ctx, a);
}

void IdentCurrent(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3* db = sqlite3_context_db_handle(ctx);
  const unsigned char* name = sqlite3_value_text(argv[0]);
  if (!name) {
    sqlite3_result_null(ctx);
    return;
  }
  // sqlite_sequence exists only once an AUTOINCREMENT table has been made;
  // before that no table has an identity value, so the answer is NULL.
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT seq FROM main.sqlite_sequence WHERE name = ?1 COLLATE NOCASE",
                         -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    sqlite3_result_null(ctx);
    return;
  }
  sqlite3_bind_text(st, 1, reinterpret_cast<const char*>(name), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    sqlite3_result_int64(ctx, sqlite3_column_int64(st, 0));
  } else if (rc == SQLITE_DONE) {
    sqlite3_result_null(ctx);
  } else {
    sqlite3_result_error(ctx, sqlite3_errmsg(db), -1);
  }
  sqlite3_finalize(st);
}

std::string DeclaredText(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? reinterpret_cast<const char*>(t) : "";
}

void TypeCode(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int(ctx, TypeFromDeclared(DeclaredText(argv[0])).code);
}

void TypeLength(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int(ctx, TypeFromDeclared(DeclaredText(argv[0])).length);
}

void TypePrec(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int(ctx, PrecisionFromDeclared(DeclaredText(argv[0])).prec);
}

void TypeScale(sqlite3_context* ctx, int, sqlite3_value** argv) {
  sqlite3_result_int(ctx, PrecisionFromDeclared(DeclaredText(argv[0])).scale);
}

// SQL Server's comparison of character data under a case-insensitive
// collation: trailing blanks do not count (ANSI padding) and ASCII letters
// compare without case; other bytes compare as they are.
int TsqlCompare(void*, int n1, const void* p1, int n2, const void* p2) {
  const auto* a = static_cast<const unsigned char*>(p1);
  const auto* b = static_cast<const unsigned char*>(p2);
  while (n1 > 0 && a[n1 - 1] == ' ') --n1;
  while (n2 > 0 && b[n2 - 1] == ' ') --n2;
  const int n = n1 < n2 ? n1 : n2;
  for (int i = 0; i < n; ++i) {
    int ca = a[i];
    int cb = b[i];
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

void Register(sqlite3* db, const char* name, int args, int flags,
              void (*fn)(sqlite3_context*, int, sqlite3_value**)) {
  const int rc = sqlite3_create_function_v2(db, name, args, SQLITE_UTF8 | flags, nullptr, fn,
                                            nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Raise(db, rc, std::string("registering ") + name);
}

}  // namespace

void RegisterFunctions(sqlite3* db) {
  Register(db, "kestal_int", 1, SQLITE_DETERMINISTIC, IntCast);
  Register(db, "kestal_int", 2, SQLITE_DETERMINISTIC, IntCast);
  Register(db, "kestal_number", 2, SQLITE_DETERMINISTIC, NumberCast);
  Register(db, "kestal_ident_current", 1, 0, IdentCurrent);
  Register(db, "kestal_add", 2, SQLITE_DETERMINISTIC, Add);
  Register(db, "kestal_sub", 2, SQLITE_DETERMINISTIC, Subtract);
  Register(db, "kestal_chain", -1, SQLITE_DETERMINISTIC, Chain);
  Register(db, "kestal_datetime", 1, SQLITE_DETERMINISTIC, DateTimeCast);
  RegisterDateAndStringFunctions(db);
  Register(db, "kestal_type_code", 1, SQLITE_DETERMINISTIC, TypeCode);
  Register(db, "kestal_type_length", 1, SQLITE_DETERMINISTIC, TypeLength);
  Register(db, "kestal_type_prec", 1, SQLITE_DETERMINISTIC, TypePrec);
  Register(db, "kestal_type_scale", 1, SQLITE_DETERMINISTIC, TypeScale);
  const int rc =
      sqlite3_create_collation_v2(db, "TSQL", SQLITE_UTF8, nullptr, TsqlCompare, nullptr);
  if (rc != SQLITE_OK) Raise(db, rc, "registering collation TSQL");
}

}  // namespace kestal::db::sqlite
