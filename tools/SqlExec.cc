// "kestal sql exec CONN STATEMENT": one caller-composed statement. A query
// (SELECT or WITH) prints its rows as CSV, as sql follow does; any other
// statement goes through AddCJHBRecord, which answers "成功" or "-" followed
// by the database's reason.
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "tools/Commands.h"
#include "tools/ConnectCheck.h"
#include "tools/Csv.h"
#include "tools/Options.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal sql exec CONN STATEMENT\n"
    "\n"
    "Runs STATEMENT (T-SQL, in the terminal's encoding) unchanged on the database\n"
    "named by the connection string CONN. A query (SELECT or WITH) prints a line\n"
    "of column names and its rows as CSV (NULL as an empty value). Any other\n"
    "statement goes through the library's AddCJHBRecord; an INSERT, UPDATE or\n"
    "DELETE prints the rows it changed ('UPDATE 0'), others the library's answer;\n"
    "an answer starting with '-' is a failure: it goes to stderr and the exit\n"
    "status is 1. An empty STATEMENT is wrong usage.\n";

// Connects sql to the database without opening a table: the statement may
// name any table, or none. Throws ToolError with the engine's reason.
void Connect(CSQLOperate* sql, const std::string& connect) {
  CheckConnectString(connect);
  try {
    sql->m_pConnection.CreateInstance();
    sql->m_pConnection->PutConnectionTimeout(8);
    sql->m_pConnection->Open(CString(connect));
  } catch (const _com_error& e) {
    const std::string hint = ConnectHint(connect, false);
    throw ToolError("cannot connect to the database: " + DescribeComError(e) +
                    (hint.empty() ? "" : "; " + hint));
  }
}

// True when statement starts with SELECT or WITH (any case): a query whose
// rows are the answer.
bool IsQuery(const std::string& statement) {
  size_t i = statement.find_first_not_of(" \t\r\n(");
  if (i == std::string::npos) return false;
  std::string word;
  while (i < statement.size() && isalpha(static_cast<unsigned char>(statement[i]))) {
    word += static_cast<char>(tolower(static_cast<unsigned char>(statement[i++])));
  }
  return word == "select" || word == "with";
}

// "INSERT", "UPDATE" or "DELETE" when statement starts with that word (any
// case), else "".
std::string ChangeVerb(const std::string& statement) {
  size_t i = statement.find_first_not_of(" \t\r\n");
  std::string word;
  while (i != std::string::npos && i < statement.size() &&
         isalpha(static_cast<unsigned char>(statement[i]))) {
    word += static_cast<char>(toupper(static_cast<unsigned char>(statement[i++])));
  }
  return word == "INSERT" || word == "UPDATE" || word == "DELETE" ? word : std::string();
}

void Write(const std::string& text) {
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    throw ToolError("cannot write the output");
  }
}

// Runs the query and prints its columns and rows as CSV.
void PrintQuery(CSQLOperate* sql, const std::string& statement) {
  _RecordsetPtr rs;
  try {
    rs = sql->m_pConnection->Execute(CString(statement));
  } catch (const _com_error& e) {
    throw ToolError("the database refuses the statement: " + DescribeComError(e));
  }
  if (rs->GetState() != adStateOpen) return;
  const std::vector<CString> names = rs->ColumnNames();
  std::vector<std::string> line;
  for (const CString& n : names) line.push_back(ToTerminal(n.str()));
  Write(CsvLine(line));
  for (long row = 0; row < rs->GetRecordCount(); ++row) {
    line.clear();
    for (const CString& n : names) {
      const _variant_t v = rs->GetCollect(n.c_str());
      line.push_back(v.IsNull() ? std::string() : ToTerminal(v.ToString().str()));
    }
    Write(CsvLine(line));
    rs->MoveNext();
  }
}

}  // namespace

int RunSqlExec(const Args& args) {
  Options opts(args, {});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(2, "CONN and STATEMENT");
  std::string statement;
  if (!FromTerminal(opts.positional()[1], &statement)) {
    throw ToolError("the statement holds text that the table code page cannot hold");
  }
  if (statement.find_first_not_of(" \t\r\n;") == std::string::npos) {
    throw UsageError("the statement is empty");
  }
  auto sql = std::make_unique<CSQLOperate>();
  Connect(sql.get(), opts.positional()[0]);
  if (IsQuery(statement)) {
    PrintQuery(sql.get(), statement);
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
    return kExitOk;
  }
  const std::string answer = ToTerminal(sql->AddCJHBRecord(CString(statement)).str());
  if (!answer.empty() && answer[0] == '-') throw ToolError(answer);
  // A change answers with its row count, as psql and sqlite3 tell it.
  const std::string verb = ChangeVerb(statement);
  const long long changed = sql->m_pConnection->RowsChanged();
  if (!verb.empty() && changed >= 0) {
    printf("%s %lld\n", verb.c_str(), changed);
  } else {
    printf("%s\n", answer.c_str());
  }
  if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  return kExitOk;
}

}  // namespace kestal::tool
