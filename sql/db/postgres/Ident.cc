#include "sql/db/postgres/Ident.h"

#include <memory>

#include "sql/db/postgres/Dialect.h"
#include "sql/db/postgres/Errors.h"

namespace kestal::db::postgres {
namespace {

// The identity sequence of the visible table whose name matches $1 without
// regard to case: one row (table oid, sequence or NULL) per matching table,
// the one statements use first (lower case, else first in byte order).
constexpr const char* kFindSequence =
    "select c.oid, (select pg_get_serial_sequence(quote_ident(n.nspname) || '.' || "
    "quote_ident(c.relname), a.attname) from pg_attribute a where a.attrelid = c.oid and "
    "a.attnum > 0 and not a.attisdropped and pg_get_serial_sequence(quote_ident(n.nspname) || "
    "'.' || quote_ident(c.relname), a.attname) is not null order by a.attnum limit 1) "
    "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
    "where lower(c.relname) = lower($1) and c.relkind in ('r', 'p') and "
    "pg_table_is_visible(c.oid) "
    "order by (c.relname <> lower(c.relname)), c.relname collate \"C\"";

using ResultPtr = std::unique_ptr<PGresult, decltype(&PQclear)>;

ResultPtr Run(PGconn* conn, const char* sql, int count, const char* const* values) {
  ResultPtr result(PQexecParams(conn, sql, count, nullptr, values, nullptr, nullptr, 0), &PQclear);
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) RaiseFailure(conn, result.get());
  return result;
}

}  // namespace

std::string IdentCurrentExpression(const std::string& table) {
  const std::string name = Literal(TablePart(table));
  return "(select coalesce(pg_sequence_last_value(q.seq), (select s.seqstart from pg_sequence s "
         "where s.seqrelid = q.seq)) from (select pg_get_serial_sequence(quote_ident(n.nspname) "
         "|| '.' || quote_ident(c.relname), a.attname)::regclass as seq from pg_class c join "
         "pg_namespace n on n.oid = c.relnamespace join pg_attribute a on a.attrelid = c.oid "
         "where lower(c.relname) = lower(" +
         name +
         ") and c.relkind in ('r', 'p') and pg_table_is_visible(c.oid) and a.attnum > 0 and "
         "not a.attisdropped and pg_get_serial_sequence(quote_ident(n.nspname) || '.' || "
         "quote_ident(c.relname), a.attname) is not null order by (c.relname <> lower(c.relname)), "
         "c.relname collate \"C\", a.attnum limit 1) q)";
}

void Reseed(PGconn* conn, const std::string& table, long long seed) {
  const std::string name = TablePart(table);
  const char* find_values[] = {name.c_str()};
  ResultPtr found = Run(conn, kFindSequence, 1, find_values);
  if (PQntuples(found.get()) == 0) {
    RaiseRejected("Cannot find a table or object with the name '" + name + "'.");
  }
  if (PQgetisnull(found.get(), 0, 1)) {
    RaiseRejected("'" + name + "' does not contain an identity column.");
  }
  const std::string sequence = PQgetvalue(found.get(), 0, 1);
  const std::string seed_text = std::to_string(seed);
  const char* values[] = {sequence.c_str(), seed_text.c_str()};
  ResultPtr bounds =
      Run(conn, "select seqmin from pg_sequence where seqrelid = $1::regclass", 1, values);
  if (PQntuples(bounds.get()) == 1 && seed < std::stoll(PQgetvalue(bounds.get(), 0, 0))) {
    // The sequence name comes from pg_get_serial_sequence, already quoted.
    const std::string alter = "alter sequence " + sequence + " minvalue " + seed_text;
    Run(conn, alter.c_str(), 0, nullptr);
  }
  Run(conn, "select setval($1::regclass, $2::bigint, true)", 2, values);
}

}  // namespace kestal::db::postgres
