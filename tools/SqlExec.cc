// "kestal sql exec CONN STATEMENT": one caller-composed statement through
// AddCJHBRecord, which answers "成功" or "-" followed by the database's reason.
#include <cstdio>
#include <memory>

#include "sql/SQLOperate.h"
#include "tools/Commands.h"
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
    "named by the connection string CONN and prints the library's answer. Rows the\n"
    "statement returns are discarded. An answer starting with '-' is a failure: it\n"
    "goes to stderr and the exit status is 1.\n";

// Connects sql to the database without opening a table: the statement may
// name any table, or none. Throws ToolError with the engine's reason.
void Connect(CSQLOperate* sql, const std::string& connect) {
  try {
    sql->m_pConnection.CreateInstance();
    sql->m_pConnection->PutConnectionTimeout(8);
    sql->m_pConnection->Open(CString(connect));
  } catch (const _com_error& e) {
    throw ToolError("cannot connect to the database: " + DescribeComError(e));
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
  auto sql = std::make_unique<CSQLOperate>();
  Connect(sql.get(), opts.positional()[0]);
  const std::string answer = ToTerminal(sql->AddCJHBRecord(CString(statement)).str());
  if (!answer.empty() && answer[0] == '-') throw ToolError(answer);
  printf("%s\n", answer.c_str());
  if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  return kExitOk;
}

}  // namespace kestal::tool
