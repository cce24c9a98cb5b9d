// Connection strings for the ODBC engine. Two forms reach it:
//   Provider=ODBC;...      every key but Provider goes to SQLDriverConnect as
//                          written (Driver=, DSN=, ...);
//   Provider=SQLOLEDB (SQLNCLI10, SQLNCLI11, MSOLEDBSQL, MSOLEDBSQL19)
//                          the ADO strings SQL Server hosts use, mapped to an
//                          installed SQL Server ODBC driver.
// The table of the mapping is in README.md. Nothing here talks to a server,
// so the mapping is tested without one.
#pragma once

#include <string>
#include <vector>

#include "sql/db/ConnectionString.h"

namespace kestal::db::odbc {

struct OdbcConnect {
  std::string text;         // for SQLDriverConnect
  std::string shown;        // text with the password masked, for messages
  std::string password;     // the password given, masked in every message
  long login_timeout = 15;  // seconds, for SQL_ATTR_LOGIN_TIMEOUT
  // The narrow character set the driver was told to speak (FreeTDS
  // ClientCharset), or "" when the driver's own rule applies.
  std::string client_charset;
};

// True for the provider names this engine serves (ODBC and the SQL Server
// OLE DB providers), compared without regard to case.
bool IsOdbcProvider(const std::string& provider);

// Builds the SQLDriverConnect string for connection. installed lists the
// driver names registered with the driver manager (SQLDrivers); driver_override
// is KESTAL_ODBC_DRIVER ("" when unset). timeout_seconds is the connection's
// time-out (Connect Timeout, 15 s by default); not positive means 8 s.
// Raises _com_error(kConnectionError) when an ADO string finds no SQL Server
// driver, naming what to install.
OdbcConnect BuildOdbcConnect(const ConnectionString& connection, long timeout_seconds,
                             const std::vector<std::string>& installed,
                             const std::string& driver_override);

// The driver names registered with the driver manager (odbcinst.ini of
// ODBCSYSINI or the system), in its order.
std::vector<std::string> InstalledDrivers();

// The FreeTDS ClientCharset for an iconv code page name: "GBK" and "CP936"
// give "GBK"; others are passed as they are.
std::string ClientCharsetFor(const std::string& codepage);

// value quoted for a connection string when it needs it: {value} with every
// } doubled when it holds ; { } or leading/trailing blanks.
std::string QuoteValue(const std::string& value);

}  // namespace kestal::db::odbc
