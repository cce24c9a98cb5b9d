// Field renames and left-out fields of the bridge, and the target table it
// creates from a file's header. The statements are T-SQL run through the
// library's connection, so the rewriter gives them their meaning on each
// engine; the catalog then lists exactly the columns DesignTable describes.
#include "tools/BridgeSchema.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Mbcs.h"
#include "sql/SQLOperate.h"
#include "tools/ConnectCheck.h"
#include "tools/Options.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

bool SameName(const std::string& a, const std::string& b) {
  return _mbsicmp(a.c_str(), b.c_str()) == 0;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Letters, digits and '_', not starting with a digit, at most 63 bytes: a
// name every engine takes unquoted.
bool IsPlainName(const std::string& s) {
  if (s.empty() || s.size() > 63 || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// The table part of "database..table", as the catalog lists it.
std::string TablePart(const std::string& table) {
  const size_t dots = table.find("..");
  return dots != std::string::npos && dots > 0 ? table.substr(dots + 2) : table;
}

// The fields the table file holds, in order.
std::vector<std::string> FileFields(const CDBFOperate& dbf) {
  std::vector<std::string> names;
  const int count = std::min<int>(dbf.m_nFieldCount, CDBFOperate::kMaxFields);
  for (int k = 0; k < count; ++k) names.push_back(FieldName(dbf.m_Fields[k]));
  return names;
}

ColumnType Column(const std::string& name, int code, int length, int prec, int scale) {
  ColumnType c;
  c.name = name;
  c.code = code;
  c.length = length;
  c.prec = prec;
  c.scale = scale;
  c.kind = KindOfType(code);
  return c;
}

// A connection of its own to the database named by connect.
_ConnectionPtr Connect(const std::string& connect) {
  CheckConnectString(connect);
  _ConnectionPtr c;
  try {
    c.CreateInstance();
    c->PutConnectionTimeout(8);
    c->Open(CString(connect));
  } catch (const _com_error& e) {
    throw ToolError("cannot connect to the database: " + DescribeComError(e));
  }
  return c;
}

}  // namespace

std::string FieldName(const DBFFIELD& f) {
  return std::string(f.szName, strnlen(f.szName, sizeof f.szName));
}

std::string FieldMap::TargetOf(const std::string& field) const {
  if (Ignores(field)) return std::string();
  for (const auto& [from, to] : renames) {
    if (SameName(from, field)) return to;
  }
  return field;
}

bool FieldMap::Ignores(const std::string& field) const {
  return std::any_of(ignored.begin(), ignored.end(),
                     [&](const std::string& f) { return SameName(f, field); });
}

FieldMap ParseFieldMap(const std::vector<std::string>& maps,
                       const std::vector<std::string>& ignores) {
  FieldMap map;
  std::vector<std::string> seen;
  // Names arrive in the terminal's encoding; fields and columns are table text.
  auto table_text = [](const std::string& name, const std::string& option) {
    std::string out;
    if (!FromTerminal(name, &out)) {
      throw UsageError(option + ": '" + name + "' holds text that the table code page cannot hold");
    }
    return out;
  };
  auto once = [&](const std::string& field, const std::string& option) {
    for (const std::string& s : seen) {
      if (SameName(s, field)) {
        throw UsageError("field " + ToTerminal(field) + " is given twice (" + option +
                         "); map or ignore each field once");
      }
    }
    seen.push_back(field);
  };
  for (const std::string& entry : maps) {
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) {
      throw UsageError(BadOptionValue("map", "FILE_FIELD=COLUMN", entry));
    }
    const std::string field = table_text(entry.substr(0, eq), "--map " + entry);
    once(field, "--map " + entry);
    map.renames.emplace_back(field, table_text(entry.substr(eq + 1), "--map " + entry));
  }
  for (const std::string& given : ignores) {
    if (given.empty()) throw UsageError(BadOptionValue("ignore", "a field name", given));
    const std::string field = table_text(given, "--ignore " + given);
    once(field, "--ignore " + given);
    map.ignored.push_back(field);
  }
  return map;
}

void CheckMapAgainstFile(const FieldMap& map, const CDBFOperate& dbf) {
  const std::vector<std::string> fields = FileFields(dbf);
  auto held = [&](const std::string& name) {
    return std::any_of(fields.begin(), fields.end(),
                       [&](const std::string& f) { return SameName(f, name); });
  };
  std::string problems;
  for (const auto& rename : map.renames) {
    if (!held(rename.first)) {
      const std::string field = ToTerminal(rename.first);
      problems +=
          "; --map " + field + "=" + ToTerminal(rename.second) + ": the file has no field " + field;
    }
  }
  for (const std::string& field : map.ignored) {
    if (!held(field)) {
      problems +=
          "; --ignore " + ToTerminal(field) + ": the file has no field " + ToTerminal(field);
    }
  }
  // Two fields going to one column: a rename onto a name another field keeps.
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string target = map.TargetOf(fields[i]);
    if (target.empty()) continue;
    for (size_t j = 0; j < i; ++j) {
      const std::string earlier = map.TargetOf(fields[j]);
      if (SameName(earlier, target)) {
        problems += "; column " + ToTerminal(earlier) + " is the target of both field " +
                    ToTerminal(fields[j]) + " and field " + ToTerminal(fields[i]);
      }
    }
  }
  if (!problems.empty()) throw UsageError("bad field map: " + problems.substr(2));
}

void CheckMapAgainstTable(const FieldMap& map, const std::vector<ColumnType>& columns) {
  std::string problems;
  for (const auto& [field, column] : map.renames) {
    const bool held = std::any_of(columns.begin(), columns.end(),
                                  [&](const ColumnType& c) { return SameName(c.name, column); });
    if (!held)
      problems += "; --map " + ToTerminal(field) + "=" + ToTerminal(column) +
                  ": the table has no column " + ToTerminal(column);
  }
  if (!problems.empty()) throw UsageError("bad field map: " + problems.substr(2));
}

TableDesign DesignTable(const CDBFOperate& dbf, const FieldMap& map, const std::string& table) {
  const std::string name = TablePart(table);
  if (!IsPlainName(name)) {
    throw UsageError("--create-table wants a table name of letters, digits and '_', not '" + table +
                     "'");
  }
  TableDesign design;
  std::vector<std::string> defs;
  bool rec_num_from_file = false;
  const int count = std::min<int>(dbf.m_nFieldCount, CDBFOperate::kMaxFields);
  for (int k = 0; k < count; ++k) {
    const DBFFIELD& f = dbf.m_Fields[k];
    const std::string field = FieldName(f);
    std::string column = map.TargetOf(field);
    if (column.empty()) continue;
    if (SameName(column, field)) column = Lower(column);
    if (!IsPlainName(column)) {
      throw UsageError("--create-table: the column name '" + ToTerminal(column) + "' of field " +
                       ToTerminal(field) +
                       " is not letters, digits and '_'; give it a name with --map");
    }
    if (SameName(column, "rec_num")) {  // the record's position, whatever the field's type
      rec_num_from_file = true;
      design.columns.push_back(Column(column, 56, 4, 10, 0));
      defs.push_back(column + " int");
      continue;
    }
    const int w = f.nLength;
    const int d = f.nDecimal;
    switch (std::toupper(static_cast<unsigned char>(f.cType))) {
      case 'C':
        design.columns.push_back(Column(column, 39, w, w, 0));
        defs.push_back(column + " varchar(" + std::to_string(w) + ")");
        break;
      case 'N':
        if (d == 0 && w <= 9) {
          design.columns.push_back(Column(column, 56, 4, 10, 0));
          defs.push_back(column + " int");
        } else {
          // The width counts the sign and the point too: w digits always hold it.
          const int p = std::min(38, std::max(w, d + 1));
          design.columns.push_back(Column(column, 108, 9, p, d));
          defs.push_back(column + " numeric(" + std::to_string(p) + "," + std::to_string(d) + ")");
        }
        break;
      case 'F':
        design.columns.push_back(Column(column, 62, 8, 53, 0));
        defs.push_back(column + " float");
        break;
      case 'D':
        design.columns.push_back(Column(column, 47, 8, 8, 0));
        defs.push_back(column + " char(8)");
        break;
      case 'L':
        design.columns.push_back(Column(column, 47, 1, 1, 0));
        defs.push_back(column + " char(1)");
        break;
      default:
        throw ToolError("--create-table: field " + ToTerminal(field) + " has type '" +
                        std::string(1, f.cType) +
                        "', which has no column type; create the table by hand or --ignore it");
    }
  }
  if (!rec_num_from_file) {
    design.columns.insert(design.columns.begin(), Column("rec_num", 56, 4, 10, 0));
    defs.insert(defs.begin(), "rec_num int");
  }
  std::string list;
  for (const std::string& def : defs) list += (list.empty() ? "" : ", ") + def;
  design.create_table = "create table " + table + " (" + list + ")";
  design.create_index = "create index " + name + "_rec_num on " + table + " (rec_num)";
  return design;
}

bool TableExists(const std::string& connect, const std::string& table) {
  std::string name;
  if (!FromTerminal(TablePart(table), &name)) {
    throw UsageError("the table name '" + table +
                     "' holds text that the table code page cannot hold");
  }
  _ConnectionPtr c = Connect(connect);
  try {
    _RecordsetPtr rs = c->Execute(
        CString("select id from sysobjects where lower(name)=lower(" + SqlQuoted(name) + ")"));
    const bool found = rs->GetState() == adStateOpen && rs->GetRecordCount() > 0;
    c->Close();
    return found;
  } catch (const _com_error& e) {
    throw ToolError("cannot read the catalog of the database: " + DescribeComError(e));
  }
}

void CreateTable(const std::string& connect, const TableDesign& design) {
  _ConnectionPtr c = Connect(connect);
  try {
    // One transaction: a table without its index is never left behind (the
    // next run would find the table and not add the index).
    c->BeginTrans();
    c->Execute(CString(design.create_table));
    c->Execute(CString(design.create_index));
    c->CommitTrans();
    c->Close();
  } catch (const _com_error& e) {
    throw ToolError("cannot create the table: " + DescribeComError(e) + " (" + design.create_table +
                    ")");
  }
}

}  // namespace kestal::tool
