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

}  // namespace

TypeInfo TypeFromDeclared(const std::string& declared) {
  const std::string d = Lower(Trim(declared));
  // Base name: the text before '(' with inner blanks squeezed; arguments.
  const size_t paren = d.find('(');
  std::string base = Trim(d.substr(0, paren));
  int arg1 = -1;
  int arg2 = -1;
  bool max_length = false;
  if (paren != std::string::npos) {
    std::string args = d.substr(paren + 1);
    const size_t close = args.find(')');
    if (close != std::string::npos) args = args.substr(0, close);
    const size_t comma = args.find(',');
    const std::string first = Trim(args.substr(0, comma));
    if (first == "max") {
      max_length = true;
    } else if (!first.empty()) {
      arg1 = std::atoi(first.c_str());
    }
    if (comma != std::string::npos) arg2 = std::atoi(Trim(args.substr(comma + 1)).c_str());
  }
  (void)arg2;
  const int n = max_length ? -1 : (arg1 > 0 ? arg1 : 1);
  std::string squeezed;
  for (char c : base) {
    if (c == ' ' || c == '\t') {
      if (!squeezed.empty() && squeezed.back() != ' ') squeezed += ' ';
    } else {
      squeezed += c;
    }
  }
  base = squeezed;

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

}  // namespace kestal::db
