#include "tools/SqlTable.h"

#include <cstdint>
#include <cstdio>

#include "platform/Mbcs.h"
#include "sql/db/ConnectionString.h"
#include "tools/ConnectCheck.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

// Why a plain connection with connect cannot be opened, or "" when it can.
// Open only reports 0; a connection of our own gives the engine's reason.
std::string ConnectProblem(const std::string& connect) {
  try {
    _ConnectionPtr probe;
    probe.CreateInstance();
    probe->PutConnectionTimeout(8);
    probe->Open(CString(connect));
    probe->Close();
    return std::string();
  } catch (const _com_error& e) {
    return DescribeComError(e);
  }
}

// True when the object holds an open connection (Open failed on the table).
bool ConnectionOpen(const CSQLOperate& sql) {
  return sql.m_pConnection.get() != nullptr && sql.m_pConnection.get()->GetState() == adStateOpen;
}

// Throws ToolError unless every field fits one record image slot.
void CheckFieldTable(const CSQLOperate& sql, const std::string& table) {
  const std::string bad = "the table '" + table + "' has a layout the tool cannot serve: ";
  if (sql.m_nFieldCount == 0) throw ToolError(bad + "no columns");
  if (sql.m_nFieldCount > CSQLOperate::kMaxFields) {
    throw ToolError(bad + std::to_string(sql.m_nFieldCount) + " columns, at most 100");
  }
  long total = 0;
  for (int i = 0; i < sql.m_nFieldCount; ++i) {
    const FIELDINFO& f = sql.m_FieldInfo[i];
    if (f.nWidth <= 0 || f.nWidth >= CSQLOperate::kSlotSize) {
      throw ToolError(bad + "column " + ToTerminal(f.strName.str()) + " has width " +
                      std::to_string(f.nWidth) + ", want 1 to 511");
    }
    total += f.nWidth;
  }
  if (total > CSQLOperate::kSlotSize) {
    throw ToolError(bad + "its record image is " + std::to_string(total) +
                    " bytes, more than one 512-byte slot");
  }
}

}  // namespace

std::string DescribeComError(const _com_error& e) {
  // The reason first: the status code means something to a support engineer,
  // not to the operator reading the line.
  char code[32];
  snprintf(code, sizeof code, "status %08lx",
           static_cast<unsigned long>(static_cast<uint32_t>(e.Error())));
  // Whatever a driver quotes back, a password in it is hidden.
  const std::string why = kestal::db::MaskPasswords(ToTerminal(e.Description().str()));
  return why.empty() ? std::string(code) : why + " (" + code + ")";
}

void OpenSqlTable(CSQLOperate* sql, const std::string& given, const std::string& table,
                  bool read_only) {
  if (table.empty()) throw UsageError("the table name is empty");
  CheckConnectString(given);
  const std::string connect = read_only ? ReadOnlyConnectString(given) : given;
  // The name comes from the terminal; the library takes table text (GBK).
  std::string name;
  if (!FromTerminal(table, &name)) {
    throw UsageError("the table name '" + table +
                     "' holds text that the table code page cannot hold");
  }
  int opened = 0;
  try {
    opened = sql->Open(connect.c_str(), name.c_str());
  } catch (const _com_error& e) {
    throw ToolError("cannot open the table '" + table + "': " + DescribeComError(e));
  }
  if (!opened) {
    if (ConnectionOpen(*sql)) {
      throw ToolError("the database has no table '" + table + "'");
    }
    const std::string why = ConnectProblem(connect);
    const std::string hint = ConnectHint(connect, read_only);
    throw ToolError("cannot connect to the database" + (why.empty() ? "" : ": " + why) +
                    (hint.empty() ? "" : "; " + hint));
  }
  CheckFieldTable(*sql, table);
}

std::vector<std::string> SqlFieldNames(const CSQLOperate& sql) {
  std::vector<std::string> names;
  for (int i = 0; i < sql.m_nFieldCount && i < CSQLOperate::kMaxFields; ++i) {
    names.push_back(sql.m_FieldInfo[i].strName.str());
  }
  return names;
}

int SqlRecordLength(const CSQLOperate& sql) {
  int total = 0;
  for (int i = 0; i < sql.m_nFieldCount && i < CSQLOperate::kMaxFields; ++i) {
    total += sql.m_FieldInfo[i].nWidth;
  }
  return total;
}

int FindSqlField(const CSQLOperate& sql, const std::string& name) {
  for (int i = 0; i < sql.m_nFieldCount && i < CSQLOperate::kMaxFields; ++i) {
    if (_mbsicmp(sql.m_FieldInfo[i].strName.c_str(), name.c_str()) == 0) return i;
  }
  return -1;
}

// text as an SQL string literal: in single quotes, each quote doubled.
std::string SqlQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace kestal::tool
