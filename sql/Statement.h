// Running one statement text on a Command of its own, as every operation of
// CSQLOperate does: the Command lives for one operation and is released with it.
#pragma once

#include "platform/String.h"
#include "sql/db/Ado.h"

namespace kestal::statement {

// A new Command bound to connection (no text yet). Never throws.
_CommandPtr NewCommand(const _ConnectionPtr& connection);

// Sets sql as command's text and executes it as text; any result is released
// unread. Raises _com_error on failure.
void ExecuteDiscard(const _CommandPtr& command, const CString& sql);

// Sets sql as command's text and executes it as text, keeping the result.
// Raises _com_error on failure.
_RecordsetPtr ExecuteQuery(const _CommandPtr& command, const CString& sql);

// A Recordset open on sql over connection that runs it at its first read or
// move (Recordset::OpenDeferred). Runs nothing itself and never throws.
_RecordsetPtr DeferQuery(const _ConnectionPtr& connection, const CString& sql);

}  // namespace kestal::statement
