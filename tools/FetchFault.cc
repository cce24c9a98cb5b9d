// Re-runs the statement of a failed fetch, read back from the library's
// trace, to tell a refused statement from a lost connection.
#include "tools/FetchFault.h"

#include "sql/db/ComError.h"
#include "tools/SqlTable.h"

namespace kestal::tool {
namespace {

// The statement of the last "[1:...]" (count) or "[2:...]" (fetch) step of a
// trace, or "" when the trace has none.
// The last step marker of kind ("[1:" or "[2:") that names a statement; the
// failure marks "[2:0]" do not.
size_t LastStep(const std::string& trace, const char* kind) {
  size_t at = trace.size();
  while (at > 0) {
    at = trace.rfind(kind, at - 1);
    if (at == std::string::npos) return at;
    if (trace.compare(at + 3, 2, "0]") != 0) return at;
  }
  return std::string::npos;
}

std::string LastStatement(const std::string& trace) {
  const size_t count = LastStep(trace, "[1:");
  const size_t fetch = LastStep(trace, "[2:");
  const bool is_fetch = fetch != std::string::npos && (count == std::string::npos || fetch > count);
  const size_t at = is_fetch ? fetch : count;
  if (at == std::string::npos) return std::string();
  // The filter inside a fetch may hold ']'; the step after it starts "--->".
  size_t end = is_fetch ? trace.find("]--->", at) : std::string::npos;
  if (end == std::string::npos) end = trace.find(']', at);
  if (end == std::string::npos) return std::string();
  const std::string body = trace.substr(at + 3, end - at - 3);
  return (is_fetch ? "select * from " : "select count(*) as n from ") + body;
}

// Runs sql on the object's connection; "" when it runs, else the reason.
// *lost tells a failure of the connection itself.
std::string Try(CSQLOperate& sql, const std::string& statement, bool* lost = nullptr) {
  try {
    sql.m_pConnection->Execute(CString(statement));
    return std::string();
  } catch (const _com_error& e) {
    if (lost != nullptr) *lost = e.Error() == kestal::db::kConnectionError;
    return DescribeComError(e);
  }
}

}  // namespace

std::string StatementFault(CSQLOperate& sql) {
  const std::string statement = LastStatement(sql.m_strTrace.str());
  if (statement.empty() || !sql.m_pConnection) return std::string();
  // At most one row: the statement may cover a long stretch of the table.
  Try(sql, "set rowcount 1");
  bool lost = false;
  const std::string why = Try(sql, statement, &lost);
  Try(sql, "set rowcount 0");
  if (why.empty() || lost) return std::string();
  // The reason counts only while the connection itself works.
  return Try(sql, "select 1 as alive").empty() ? why : std::string();
}

}  // namespace kestal::tool
