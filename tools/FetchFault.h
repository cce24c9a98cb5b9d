// Telling a statement the database refuses from a lost connection after a
// failed fetch of GetRecordsetForBack. The library reconnects after either
// (its rule looks only at the status), so a bad filter would look like an
// endless series of reconnections; the command must instead stop and show
// the database's reason.
#pragma once

#include <string>

#include "sql/SQLOperate.h"

namespace kestal::tool {

// After a fetch that failed or reconnected (its steps are in m_strTrace):
// runs the fetch's last statement again on sql's connection. Returns the
// database's reason, for the terminal, when the statement fails while the
// connection works: a statement error. Returns "" when the statement now
// runs (the failure was the connection) or the connection is down.
std::string StatementFault(CSQLOperate& sql);

}  // namespace kestal::tool
