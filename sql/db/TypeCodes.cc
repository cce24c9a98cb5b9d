#include "sql/db/TypeCodes.h"

#include <cstdlib>

namespace kestal::db {
namespace {

// s with ASCII letters in lower case.
std::string Lower(const std::string& s) {
  std::string out;
  for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// s without leading and trailing white space.
std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Storage bytes of decimal/numeric by precision, as SQL Server stores them.
int DecimalLength(int precision) {
  if (precision <= 9) return 5;
  if (precision <= 19) return 9;
  if (precision <= 28) return 13;
  return 17;
}

// A declared type split into its base name (lower case, inner blanks
// squeezed) and its arguments: "decimal(10, 3)" is decimal, 10, 3.
struct Declared {
  std::string base;
  int arg1 = -1;  // -1: not given
  int arg2 = -1;
  bool max_length = false;  // "(max)"
};

Declared Split(const std::string& declared) {
  Declared out;
  const std::string d = Lower(Trim(declared));
  const size_t paren = d.find('(');
  const std::string base = Trim(d.substr(0, paren));
  if (paren != std::string::npos) {
    std::string args = d.substr(paren + 1);
    const size_t close = args.find(')');
    if (close != std::string::npos) args = args.substr(0, close);
    const size_t comma = args.find(',');
    const std::string first = Trim(args.substr(0, comma));
    if (first == "max") {
      out.max_length = true;
    } else if (!first.empty()) {
      out.arg1 = std::atoi(first.c_str());
    }
    if (comma != std::string::npos) out.arg2 = std::atoi(Trim(args.substr(comma + 1)).c_str());
  }
  for (char c : base) {
    if (c == ' ' || c == '\t') {
      if (!out.base.empty() && out.base.back() != ' ') out.base += ' ';
    } else {
      out.base += c;
    }
  }
  return out;
}

}  // namespace

TypeInfo TypeFromDeclared(const std::string& declared) {
  const Declared split = Split(declared);
  const std::string& base = split.base;
  const int arg1 = split.arg1;
  const bool max_length = split.max_length;
  const int n = max_length ? -1 : (arg1 > 0 ? arg1 : 1);

  if (base == "int" || base == "integer") return {56, 4};
  if (base == "bigint") return {127, 8};
  if (base == "smallint") return {52, 2};
  if (base == "tinyint") return {48, 1};
  if (base == "bit") return {50, 1};
  if (base == "char" || base == "character") return {47, n};
  if (base == "varchar" || base == "character varying") return {39, n};
  if (base == "nchar") return {239, max_length ? -1 : 2 * n};
  if (base == "nvarchar") return {231, max_length ? -1 : 2 * n};
  if (base == "text") return {35, 16};
  if (base == "ntext") return {99, 16};
  if (base == "image") return {34, 16};
  if (base == "varbinary" || base == "timestamp" || base == "rowversion") {
    return {37, base == "varbinary" ? n : 8};
  }
  if (base == "binary") return {45, n};
  if (base == "datetime") return {61, 8};
  if (base == "smalldatetime") return {58, 4};
  if (base == "date") return {40, 3};
  if (base == "time") return {41, 5};
  if (base == "datetime2") return {42, 8};
  if (base == "float" || base == "double" || base == "double precision") return {62, 8};
  if (base == "real") return {59, 4};
  if (base == "decimal" || base == "dec") return {106, DecimalLength(arg1 > 0 ? arg1 : 18)};
  if (base == "numeric") return {108, DecimalLength(arg1 > 0 ? arg1 : 18)};
  if (base == "money") return {60, 8};
  if (base == "smallmoney") return {122, 4};
  if (base == "uniqueidentifier") return {36, 16};
  // Other names, by SQLite's affinity rules.
  if (base.find("int") != std::string::npos) return {56, 4};
  if (base.find("char") != std::string::npos || base.find("clob") != std::string::npos ||
      base.find("text") != std::string::npos) {
    return {39, arg1 > 0 ? arg1 : 255};
  }
  if (base.find("blob") != std::string::npos) return {37, arg1 > 0 ? arg1 : 8000};
  if (base.find("real") != std::string::npos || base.find("floa") != std::string::npos ||
      base.find("doub") != std::string::npos) {
    return {62, 8};
  }
  if (base.empty()) return {39, 255};
  return {108, 9};
}

Precision PrecisionFromDeclared(const std::string& declared) {
  const Declared split = Split(declared);
  const std::string& base = split.base;
  const int n = split.max_length ? -1 : (split.arg1 > 0 ? split.arg1 : 1);
  if (base == "int" || base == "integer") return {10, 0};
  if (base == "bigint") return {19, 0};
  if (base == "smallint") return {5, 0};
  if (base == "tinyint") return {3, 0};
  if (base == "bit") return {1, 0};
  if (base == "char" || base == "character" || base == "varchar" || base == "character varying" ||
      base == "nchar" || base == "nvarchar") {
    return {n, 0};
  }
  if (base == "datetime") return {23, 3};
  if (base == "smalldatetime") return {16, 0};
  if (base == "date") return {10, 0};
  if (base == "time") return {16, 7};
  if (base == "datetime2") return {27, 7};
  if (base == "float" || base == "double" || base == "double precision") return {53, 0};
  if (base == "real") return {24, 0};
  if (base == "decimal" || base == "dec" || base == "numeric") {
    const int p = split.arg1 > 0 ? split.arg1 : 18;
    return {p, split.arg2 > 0 ? split.arg2 : 0};
  }
  if (base == "money") return {19, 4};
  if (base == "smallmoney") return {10, 4};
  // Other names, by SQLite's affinity rules; an unknown numeric name sets no
  // limit, as SQLite stores any number in it.
  if (base.find("int") != std::string::npos) return {10, 0};
  if (base.find("char") != std::string::npos || base.find("clob") != std::string::npos ||
      base.find("text") != std::string::npos) {
    if (base == "text" || base == "ntext") return {0, 0};
    return {split.arg1 > 0 ? split.arg1 : 255, 0};
  }
  if (base.find("real") != std::string::npos || base.find("floa") != std::string::npos ||
      base.find("doub") != std::string::npos) {
    return {53, 0};
  }
  if (base.empty()) return {255, 0};
  return {0, 0};
}

}  // namespace kestal::db
