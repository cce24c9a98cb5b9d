// Checks of an ADO-style connection string before the library sees it, so
// that a user's slip gets an answer instead of silence: a misspelt key, a
// libpq conninfo given where the ADO form is wanted, a missing SQLite file.
// The known keys are a table per provider (easy to extend); keys a provider
// passes through on purpose (libpq's keywords, an ODBC driver's keys) stay
// allowed.
#pragma once

#include <string>

namespace kestal::tool {

// Throws UsageError for a string that is not an ADO-style connection string
// (a libpq conninfo or URI gets the expected form in answer), a part
// without '=', or a key the provider does not know (with the known keys).
// Providers the table does not list are left to the library.
void CheckConnectString(const std::string& connect);

// connect for a command that only reads: without Create=yes, so that reading
// never leaves an empty database behind, and for SQLite with Mode=Read, so
// that a file the user may only read can be read.
std::string ReadOnlyConnectString(const std::string& connect);

// A hint for a failed connection: for SQLite, that the file does not exist
// (and, unless read_only, that ";Create=yes" makes it); "" otherwise.
std::string ConnectHint(const std::string& connect, bool read_only);

}  // namespace kestal::tool
