#include "sql/Statement.h"

namespace kestal::statement {

_CommandPtr NewCommand(const _ConnectionPtr& connection) {
  _CommandPtr command;
  command.CreateInstance();
  command->PutRefActiveConnection(connection);
  return command;
}

void ExecuteDiscard(const _CommandPtr& command, const CString& sql) {
  _RecordsetPtr result = ExecuteQuery(command, sql);
  result.Release();
}

_RecordsetPtr ExecuteQuery(const _CommandPtr& command, const CString& sql) {
  command->PutCommandText(sql);
  return command->Execute(adCmdText);
}

_RecordsetPtr DeferQuery(const _ConnectionPtr& connection, const CString& sql) {
  _RecordsetPtr result;
  result.CreateInstance();
  result->OpenDeferred(sql, connection);
  return result;
}

}  // namespace kestal::statement
