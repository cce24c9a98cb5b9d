// Reads syscolumns through the library's own connection: the same catalog the
// field table is built from, so the two always describe the same columns.
#include "tools/ColumnTypes.h"

#include <cstdlib>

#include "platform/Mbcs.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// The table part of "database..table", as the library looks it up.
std::string LookupName(const std::string& table) {
  const size_t dots = table.find("..");
  return dots != std::string::npos && dots > 0 ? table.substr(dots + 2) : table;
}

int ReadInt(const _RecordsetPtr& rs, const char* column) {
  const _variant_t v = rs->GetCollect(column);
  return v.IsNull() ? 0 : atoi(v.ToString().c_str());
}

}  // namespace

ColumnKind KindOfType(int code) {
  switch (code) {
    case 56:
      return ColumnKind::kInt;
    case 127:
    case 52:
    case 48:
    case 50:
      return ColumnKind::kWhole;
    case 47:
    case 175:
    case 239:
      return ColumnKind::kChar;
    case 39:
    case 167:
    case 231:
      return ColumnKind::kVarchar;
    case 35:
    case 99:
      return ColumnKind::kText;
    case 106:
    case 108:
    case 60:
    case 122:
      return ColumnKind::kDecimal;
    case 62:
    case 59:
      return ColumnKind::kFloat;
    case 40:
      return ColumnKind::kDate;
    case 61:
    case 58:
    case 42:
      return ColumnKind::kDateTime;
    case 37:
      return ColumnKind::kOmitted;
    default:
      return ColumnKind::kOther;
  }
}

std::string DescribeColumn(const ColumnType& c) {
  const std::string n = std::to_string(c.prec);
  switch (c.kind) {
    case ColumnKind::kInt:
      return "int";
    case ColumnKind::kWhole:
      return c.code == 127  ? "bigint"
             : c.code == 52 ? "smallint"
             : c.code == 48 ? "tinyint"
                            : "bit";
    case ColumnKind::kChar:
      return "char(" + n + ")";
    case ColumnKind::kVarchar:
      return c.prec < 0 ? "varchar(max)" : "varchar(" + n + ")";
    case ColumnKind::kText:
      return "text";
    case ColumnKind::kDecimal:
      return c.prec > 0 ? "decimal(" + n + "," + std::to_string(c.scale) + ")" : "numeric";
    case ColumnKind::kFloat:
      return c.code == 59 ? "real" : "float";
    case ColumnKind::kDate:
      return "date";
    case ColumnKind::kDateTime:
      return c.code == 58 ? "smalldatetime" : c.code == 42 ? "datetime2" : "datetime";
    case ColumnKind::kOmitted:
      return c.length == 8 ? "row version or binary" : "binary";
    case ColumnKind::kOther:
      break;
  }
  return "type " + std::to_string(c.code);
}

std::vector<ColumnType> ReadColumnTypes(const CSQLOperate& sql, const std::string& table) {
  std::vector<ColumnType> columns;
  try {
    _RecordsetPtr objects = sql.m_pConnection->Execute(CString(
        "select id from sysobjects where name=" + SqlQuoted(LookupName(sql.m_strTableName.str()))));
    if (objects->GetState() != adStateOpen || objects->GetRecordCount() == 0) {
      throw ToolError("the catalog does not list the table '" + table + "'");
    }
    const std::string id = objects->GetCollect("id").ToString().str();
    _RecordsetPtr rs = sql.m_pConnection->Execute(
        CString("select name, type, length, prec, scale from syscolumns where id=" + id +
                " order by colid"));
    for (long row = 0; rs->GetState() == adStateOpen && row < rs->GetRecordCount(); ++row) {
      ColumnType c;
      c.name = rs->GetCollect("name").ToString().str();
      c.code = ReadInt(rs, "type");
      c.length = ReadInt(rs, "length");
      c.prec = ReadInt(rs, "prec");
      c.scale = ReadInt(rs, "scale");
      c.kind = KindOfType(c.code);
      columns.push_back(c);
      rs->MoveNext();
    }
  } catch (const _com_error& e) {
    throw ToolError("cannot read the column types of '" + table + "': " + DescribeComError(e));
  }
  // The field table was built from the same catalog a moment ago; a
  // difference means the table was altered in between.
  bool same = static_cast<int>(columns.size()) == sql.m_nFieldCount;
  for (int i = 0; same && i < sql.m_nFieldCount; ++i) {
    same = _mbsicmp(columns[static_cast<size_t>(i)].name.c_str(),
                    sql.m_FieldInfo[i].strName.c_str()) == 0;
  }
  if (!same) {
    throw ToolError("the columns of '" + table + "' changed while it was opened; try again");
  }
  return columns;
}

}  // namespace kestal::tool
