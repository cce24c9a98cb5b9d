// The bulk-copy API of the SQL Server drivers, one shape for both drivers
// that have one:
//   FreeTDS (tdsodbc)      bcp_* of odbcss.h, which go through the driver
//                          manager on its own connection handle (needs
//                          freetds-dev at build time);
//   Microsoft ODBC Driver  bcp_initW, bcp_bind, bcp_sendrow, bcp_batch,
//   17/18 for SQL Server   bcp_done and bcp_control exported by the driver's
//                          own library, resolved at run time (dlopen of the
//                          library the driver manager loaded, dlsym) and
//                          called on the driver's own connection handle
//                          (SQLGetInfo(SQL_DRIVER_HDBC)).
// Either needs the connect attribute SQL_COPT_SS_BCP set before the login
// (RequestBulkCopy). The constants are those of Microsoft's documentation of
// the ODBC bulk-copy functions.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>

namespace kestal::db::odbc {

// SQL_COPT_SS_BCP and SQL_BCP_ON.
constexpr SQLINTEGER kCoptSsBcp = 1219;
constexpr SQLULEN kBcpOn = 1;

// True when the connection text names Microsoft's SQL Server driver
// ("ODBC Driver 18 for SQL Server", a libmsodbcsql file).
bool IsMicrosoftDriver(const std::string& connect_text);
// True for FreeTDS's driver (by name or file).
bool IsFreeTdsDriver(const std::string& driver);

// Asks the driver for bulk copy on dbc, which must not be connected yet;
// drivers other than FreeTDS and Microsoft's are left alone.
void RequestBulkCopy(SQLHDBC dbc, const std::string& connect_text);

// One bulk copy into a table on a connection; the rows go with SendRow and
// stay only after Done. Every call raises _com_error with the driver's
// diagnostics when the driver refuses.
class BulkCopy {
 public:
  virtual ~BulkCopy() = default;
  // table is UTF-8; keep_identity sends identity values from the rows.
  virtual void Init(const std::string& table, bool keep_identity) = 0;
  // Binds column (1-based) of the next row to value (in the driver's
  // character set), or NULL. value must live until SendRow.
  virtual void Bind(int column, const std::string& value, bool null) = 0;
  // Sends the bound row; false when the driver refused it (diagnostics on
  // the connection).
  virtual bool SendRow() = 0;
  // Ends the copy; the count of rows it committed, or -1.
  virtual long Done() = 0;
  // The driver's name, for messages.
  virtual const std::string& driver() const = 0;
};

// The bulk copy of the driver behind dbc (driver: its SQL_DRIVER_NAME).
// Raises _com_error(kNotSupported) naming the driver when it has none:
// FreeTDS in a build without odbcss.h, or a driver library without the
// bcp_* entry points (naming the first one missing).
std::unique_ptr<BulkCopy> OpenBulkCopy(SQLHDBC dbc, const std::string& driver,
                                       const std::string& encoding);

}  // namespace kestal::db::odbc
