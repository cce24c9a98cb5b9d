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

// The numeric value of operand v, converted as T-SQL converts text to the
// type of the other operand (other_type: SQLITE_INTEGER or SQLITE_FLOAT).
// Returns false, with the error set, for text that is no such number.
bool Numeric(sqlite3_context* ctx, sqlite3_value* v, int other_type, long long* i, double* d,
             bool* is_int) {
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_INTEGER) {
    *i = sqlite3_value_int64(v);
    *is_int = true;
    return true;
  }
  if (type == SQLITE_FLOAT) {
    *d = sqlite3_value_double(v);
    *is_int = false;
    return true;
  }
  const unsigned char* t = sqlite3_value_text(v);
  const std::string text = t ? reinterpret_cast<const char*>(t) : "";
  if (other_type == SQLITE_INTEGER) {
    if (ParseTsqlInt(text, LLONG_MIN, LLONG_MAX, i)) {
      *is_int = true;
      return true;
    }
    const std::string msg =
        "Conversion failed when converting the varchar value '" + text + "' to data type int.";
    sqlite3_result_error(ctx, msg.c_str(), -1);
    return false;
  }
  char* end = nullptr;
  const size_t b = text.find_first_not_of(' ');
  const std::string trimmed =
      b == std::string::npos ? std::string() : text.substr(b, text.find_last_not_of(' ') - b + 1);
  *d = std::strtod(trimmed.c_str(), &end);
  if (trimmed.empty() || end != trimmed.c_str() + trimmed.size()) {
    sqlite3_result_error(ctx, "Error converting data type varchar to float.", -1);
    return false;
  }
  *is_int = false;
  return true;
}

// T-SQL's binary + (add) or - on two values.
void Arithmetic(sqlite3_context* ctx, sqlite3_value** argv, bool add) {
  const int ta = sqlite3_value_type(argv[0]);
  const int tb = sqlite3_value_type(argv[1]);
  if (ta == SQLITE_NULL || tb == SQLITE_NULL) return sqlite3_result_null(ctx);
  if (ta == SQLITE_BLOB || tb == SQLITE_BLOB) {
    return sqlite3_result_error(ctx, "The data types are incompatible in this operator.", -1);
  }
  if (ta == SQLITE_TEXT && tb == SQLITE_TEXT) {
    if (!add) {
      return sqlite3_result_error(
          ctx, "The data types varchar and varchar are incompatible in the subtract operator.", -1);
    }
    std::string joined = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    joined += reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    return sqlite3_result_text(ctx, joined.c_str(), static_cast<int>(joined.size()),
                               SQLITE_TRANSIENT);
  }
  long long ia = 0, ib = 0;
  double da = 0, db = 0;
  bool a_int = false, b_int = false;
  if (!Numeric(ctx, argv[0], tb, &ia, &da, &a_int) ||
      !Numeric(ctx, argv[1], ta, &ib, &db, &b_int)) {
    return;
  }
  if (a_int && b_int) {
    long long r;
    const bool overflow =
        add ? __builtin_add_overflow(ia, ib, &r) : __builtin_sub_overflow(ia, ib, &r);
    if (overflow) {
      return sqlite3_result_error(
          ctx, "Arithmetic overflow error converting expression to data type bigint.", -1);
    }
    return sqlite3_result_int64(ctx, r);
  }
  const double x = a_int ? static_cast<double>(ia) : da;
  const double y = b_int ? static_cast<double>(ib) : db;
  sqlite3_result_double(ctx, add ? x + y : x - y);
}

void Add(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Arithmetic(ctx, argv, true);
}
void Subtract(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Arithmetic(ctx, argv, false);
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
  Register(db, "kestal_ident_current", 1, 0, IdentCurrent);
  Register(db, "kestal_add", 2, SQLITE_DETERMINISTIC, Add);
  Register(db, "kestal_sub", 2, SQLITE_DETERMINISTIC, Subtract);
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
