// Identity reseeding through ODBC (see Ident.h).
#include "sql/db/odbc/Ident.h"

#include "sql/db/ComError.h"
#include "sql/db/postgres/Dialect.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::odbc {
namespace {

// The identity sequence of the visible table named like name (any case):
// one row (sequence or NULL, its minimum) per matching table.
std::string FindSequenceQuery(const std::string& name) {
  return "select q.seq, (select s.seqmin from pg_sequence s where s.seqrelid = "
         "q.seq::regclass) from (select (select pg_get_serial_sequence(quote_ident(n.nspname) "
         "|| '.' || quote_ident(c.relname), a.attname) from pg_attribute a where a.attrelid = "
         "c.oid and a.attnum > 0 and not a.attisdropped and pg_get_serial_sequence("
         "quote_ident(n.nspname) || '.' || quote_ident(c.relname), a.attname) is not null "
         "order by a.attnum limit 1) as seq from pg_class c join pg_namespace n on n.oid = "
         "c.relnamespace where lower(c.relname) = lower(" +
         postgres::Literal(name) +
         ") and c.relkind in ('r', 'p') and pg_table_is_visible(c.oid)) q";
}

void ReseedPostgres(const std::string& table, long long seed, const SqlRunner& run) {
  const std::string name = postgres::TablePart(table);
  std::unique_ptr<ResultTable> found = run(FindSequenceQuery(name));
  if (!found || found->RowCount() == 0) {
    throw _com_error(kStatementError,
                     CString("Cannot find a table or object with the name '" + name + "'."));
  }
  if (found->IsNull(0, 0)) {
    throw _com_error(kStatementError,
                     CString("'" + name + "' does not contain an identity column."));
  }
  const std::string sequence(found->Text(0, 0));  // quoted by pg_get_serial_sequence
  const std::string seed_text = std::to_string(seed);
  if (!found->IsNull(0, 1) && seed < std::stoll(std::string(found->Text(0, 1)))) {
    run("alter sequence " + sequence + " minvalue " + seed_text);
  }
  run("select setval(" + postgres::Literal(sequence) + "::regclass, " + seed_text + ", true)");
}

}  // namespace

void Reseed(Server server, const std::string& table, long long seed, const SqlRunner& run) {
  switch (server) {
    case Server::kPostgres:
      ReseedPostgres(table, seed, run);
      return;
    case Server::kSqlite:
      run("select kestal_reseed(" + tsql::QuoteString(table) + ", " + std::to_string(seed) + ")");
      return;
    case Server::kSqlServer:
      run("DBCC CHECKIDENT (" + tsql::QuoteString(table) + ", RESEED, " + std::to_string(seed) +
          ")");
      return;
  }
}

}  // namespace kestal::db::odbc
