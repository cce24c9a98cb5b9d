#include "sql/db/postgres/Catalog.h"

#include <strings.h>

#include <map>
#include <mutex>
#include <vector>

#include "sql/db/postgres/Errors.h"
#include "sql/db/tsql/Lexer.h"

namespace kestal::db::postgres {
namespace {

using tsql::IsBlank;
using tsql::IsPunct;
using tsql::IsWord;
using tsql::Token;
using tsql::TokenKind;

// Relations a host can name: tables, views, foreign and partitioned tables on
// the search path, not the server's own catalogs.
// Of relations whose names differ only in case, only the one statements use
// is listed: the lower-case one, else the first in byte order.
const char kObjects[] =
    "select distinct on (lower(c.relname)) c.relname::text as name, c.oid::bigint as id, "
    "(case when c.relkind in ('v', 'm') then 'V' else 'U' end)::varchar(2) as xtype, "
    "(case when c.relkind in ('v', 'm') then 'V' else 'U' end)::varchar(2) as type, "
    "1 as uid, 0 as parent_obj, null::timestamp as crdate "
    "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
    "where c.relkind in ('r', 'p', 'v', 'm', 'f') and pg_table_is_visible(c.oid) "
    "and n.nspname not in ('pg_catalog', 'information_schema') "
    "order by lower(c.relname), (c.relname <> lower(c.relname)), c.relname collate \"C\"";

// One row per live column, in column order (of columns whose names differ
// only in case, the one statements use, as for relations), with SQL Server's
// type codes and storage lengths, and the precision and scale a value may
// have (sql/db/TYPES.md). b is the base type oid (a domain counts as its base
// type, except the domains named after SQL Server types), m the type
// modifier (the domain's when the column has none), p the numeric precision
// (a numeric without one holds any number: prec 0). Lengths of character
// types are in characters, as declared.
const char kColumns[] =
    "select x.id, x.colid, x.name, x.tl[1] as type, x.tl[1] as xtype, x.tl[2] as length, "
    "x.tl[3] as prec, x.tl[4] as scale, "
    "x.isnullable from (select a.attrelid::bigint as id, a.attnum::int as colid, "
    "a.attname::text as name, (case when a.attnotnull then 0 else 1 end) as isnullable, "
    "(case when t.typtype = 'd' and t.typname = 'tinyint' then array[48, 1, 3, 0] "
    "when t.typtype = 'd' and t.typname = 'bit' then array[50, 1, 1, 0] "
    "when t.typtype = 'd' and t.typname = 'datetime' then array[61, 8, 23, 3] "
    "else (case b "
    "when 23 then array[56, 4, 10, 0] when 20 then array[127, 8, 19, 0] "
    "when 21 then array[52, 2, 5, 0] "
    "when 16 then array[50, 1, 1, 0] when 1560 then array[50, 1, 1, 0] "
    "when 1042 then array[47, (case when m >= 4 then m - 4 else 1 end), "
    "(case when m >= 4 then m - 4 else 1 end), 0] "
    "when 1043 then array[39, (case when m >= 4 then m - 4 else -1 end), "
    "(case when m >= 4 then m - 4 else -1 end), 0] "
    "when 25 then array[35, 16, 0, 0] "
    "when 17 then array[37, (case when m >= 4 then m - 4 else 8 end), 0, 0] "
    "when 1114 then array[61, 8, 23, 3] when 1184 then array[61, 8, 23, 3] "
    "when 1082 then array[40, 3, 10, 0] when 1083 then array[41, 5, 16, 7] "
    "when 701 then array[62, 8, 53, 0] when 700 then array[59, 4, 24, 0] "
    "when 1700 then array[108, (case when p <= 9 then 5 when p <= 19 then 9 "
    "when p <= 28 then 13 else 17 end), (case when m >= 4 then p else 0 end), "
    "(case when m >= 4 then (m - 4) & 65535 else 0 end)] "
    "when 790 then array[60, 8, 19, 4] when 2950 then array[36, 16, 0, 0] "
    "else array[39, 255, 255, 0] end) end) as tl "
    "from pg_attribute a join pg_type t on t.oid = a.atttypid "
    "cross join lateral (select (case when t.typtype = 'd' then t.typbasetype else t.oid end) "
    "as b, (case when a.atttypmod >= 0 then a.atttypmod else t.typtypmod end) as m) bm "
    "cross join lateral (select (case when bm.m >= 4 then ((bm.m - 4) >> 16) & 65535 "
    "else 18 end) as p) pp "
    "where a.attnum > 0 and not a.attisdropped and not exists (select 1 from pg_attribute s "
    "where s.attrelid = a.attrelid and s.attnum > 0 and not s.attisdropped "
    "and s.attnum <> a.attnum and lower(s.attname) = lower(a.attname) "
    "and ((s.attname = lower(s.attname)) > (a.attname = lower(a.attname)) "
    "or ((s.attname = lower(s.attname)) = (a.attname = lower(a.attname)) "
    "and s.attname::text collate \"C\" < a.attname::text collate \"C\"))) "
    "order by a.attrelid, a.attnum) x";

// Words after a table reference that start the next clause, so that they are
// no alias of it.
const char* const kClauseWords[] = {"where", "join",   "inner",     "left",    "right",  "full",
                                    "cross", "on",     "order",     "group",   "having", "limit",
                                    "union", "except", "intersect", "natural", "offset", "for",
                                    "using", "window", "fetch"};

bool IsClauseWord(const Token& t) {
  for (const char* w : kClauseWords) {
    if (IsWord(t, w)) return true;
  }
  return false;
}

bool MentionsCatalog(const std::string& sql) {
  for (size_t i = 0; i + 10 <= sql.size(); ++i) {
    if (strncasecmp(sql.c_str() + i, "sysobjects", 10) == 0 ||
        strncasecmp(sql.c_str() + i, "syscolumns", 10) == 0) {
      return true;
    }
  }
  return false;
}

size_t NextSolid(const std::vector<Token>& t, size_t i) {
  while (i < t.size() && IsBlank(t[i])) ++i;
  return i;
}

size_t PrevSolid(const std::vector<Token>& t, size_t i) {
  while (i > 0) {
    --i;
    if (!IsBlank(t[i])) return i;
  }
  return t.size();
}

bool IsCatalogWord(const Token& t) {
  return IsWord(t, "sysobjects") || IsWord(t, "syscolumns");
}

// The visible relations whose names equal $1 without regard to case, with
// their live columns and whether each holds character data.
const char kShapes[] =
    "select c.relname::text, a.attname::text, "
    "(coalesce(b.typcategory, t.typcategory) = 'S') "
    "from pg_class c join pg_namespace n on n.oid = c.relnamespace "
    "left join pg_attribute a on a.attrelid = c.oid and a.attnum > 0 and not a.attisdropped "
    "left join pg_type t on t.oid = a.atttypid "
    "left join pg_type b on t.typtype = 'd' and b.oid = t.typbasetype "
    "where lower(c.relname) = lower($1) and c.relkind in ('r', 'p', 'v', 'm', 'f') "
    "and pg_table_is_visible(c.oid) "
    "and n.nspname not in ('pg_catalog', 'information_schema') order by c.oid, a.attnum";

// The shapes read by every session of the process, by scope and lower-case
// name; the mutex guards the map (the entries themselves never change).
struct SharedShapes {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const CatalogSchema::Entry>> entries;
};
// Never destroyed: sessions of static objects may still use it at exit.
SharedShapes& Shared() {
  static SharedShapes* shared = new SharedShapes;
  return *shared;
}

std::string LowerAscii(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

}  // namespace

CatalogSchema::CatalogSchema(PGconn* conn, std::function<bool()> may_query)
    : may_query_(std::move(may_query)) {
  auto text = [](const char* v) { return std::string(v ? v : ""); };
  scope_ = text(PQhost(conn)) + '\n' + text(PQport(conn)) + '\n' + text(PQdb(conn)) + '\n' +
           text(PQuser(conn)) + '\n';
  read_ = [conn](const std::string& name) {
    const char* values[] = {name.c_str()};
    std::unique_ptr<PGresult, decltype(&PQclear)> r(
        PQexecParams(conn, kShapes, 1, nullptr, values, nullptr, nullptr, 0), &PQclear);
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) RaiseFailure(conn, r.get());
    std::vector<ShapeRow> rows(static_cast<size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      ShapeRow& row = rows[static_cast<size_t>(i)];
      row.relation = PQgetvalue(r.get(), i, 0);
      row.has_column = !PQgetisnull(r.get(), i, 1);
      row.column = PQgetvalue(r.get(), i, 1);
      row.character = std::string(PQgetvalue(r.get(), i, 2)) == "t";
    }
    return rows;
  };
}

CatalogSchema::CatalogSchema(std::string scope, ShapeReader read, std::function<bool()> may_query)
    : read_(std::move(read)), may_query_(std::move(may_query)), scope_(std::move(scope)) {}

void CatalogSchema::Invalidate() {
  std::lock_guard<std::mutex> lock(Shared().mutex);
  auto it = Shared().entries.lower_bound(scope_);
  while (it != Shared().entries.end() && it->first.compare(0, scope_.size(), scope_) == 0) {
    it = Shared().entries.erase(it);
  }
}

std::shared_ptr<const CatalogSchema::Entry> CatalogSchema::Read(const std::string& name) {
  auto entry = std::make_shared<Entry>();
  entry->read = std::chrono::steady_clock::now();
  for (const ShapeRow& row : read_(name)) {
    if (entry->variants.empty() || entry->variants.back().name != row.relation) {
      entry->variants.push_back(tsql::TableShape{row.relation, {}});
    }
    if (!row.has_column) continue;
    entry->variants.back().columns.push_back({row.column, row.character});
  }
  return entry;
}

const tsql::TableShape* CatalogSchema::Table(const std::string& name) {
  const std::string key = scope_ + LowerAscii(name);
  std::shared_ptr<const Entry> entry;
  {
    std::lock_guard<std::mutex> lock(Shared().mutex);
    auto found = Shared().entries.find(key);
    if (found != Shared().entries.end()) entry = found->second;
  }
  const bool unknown_and_old =
      entry && entry->variants.empty() &&
      std::chrono::steady_clock::now() - entry->read > std::chrono::seconds(1);
  if ((!entry || unknown_and_old) && may_query_()) {
    entry = Read(name);
    std::lock_guard<std::mutex> lock(Shared().mutex);
    Shared().entries[key] = entry;
  }
  if (!entry) return nullptr;
  held_.push_back(entry);
  std::vector<std::string> names;
  for (const tsql::TableShape& t : entry->variants) names.push_back(t.name);
  const int k = tsql::PickName(names, name);
  return k < 0 ? nullptr : &entry->variants[static_cast<size_t>(k)];
}

const std::string& ShapesQuery() {
  static const std::string q = kShapes;
  return q;
}

const std::string& SysobjectsQuery() {
  static const std::string q = kObjects;
  return q;
}

const std::string& SyscolumnsQuery() {
  static const std::string q = kColumns;
  return q;
}

std::string RewriteCatalog(const std::string& sql) {
  if (!MentionsCatalog(sql)) return sql;
  const std::vector<Token> t = tsql::Lex(sql);
  std::vector<std::string> out(t.size());
  for (size_t i = 0; i < t.size(); ++i) out[i] = t[i].text;
  for (size_t i = 0; i < t.size(); ++i) {
    const size_t prev = PrevSolid(t, i);
    const size_t next = NextSolid(t, i + 1);
    const bool after_dot = prev < t.size() && IsPunct(t[prev], ".");
    const bool before_dot_or_call =
        next < t.size() && (IsPunct(t[next], ".") || IsPunct(t[next], "("));
    if (IsCatalogWord(t[i]) && !after_dot && !before_dot_or_call) {
      const bool aliased =
          next < t.size() &&
          (t[next].kind == TokenKind::kWord || t[next].kind == TokenKind::kQuotedName) &&
          !IsClauseWord(t[next]);
      const std::string& query = IsWord(t[i], "sysobjects") ? SysobjectsQuery() : SyscolumnsQuery();
      out[i] = "(" + query + ")";
      if (!aliased) out[i] += " " + t[i].text;
      continue;
    }
    // name = 'x' or name like 'x', possibly qualified (o.name).
    if (IsWord(t[i], "name") && !before_dot_or_call && next < t.size() &&
        (IsPunct(t[next], "=") || IsWord(t[next], "like"))) {
      const size_t value = NextSolid(t, next + 1);
      if (value < t.size() && t[value].kind == TokenKind::kString) {
        size_t start = i;
        if (after_dot) {
          const size_t qualifier = PrevSolid(t, prev);
          if (qualifier < t.size()) start = qualifier;
        }
        std::string column;
        for (size_t k = start; k <= i; ++k) column += out[k];
        for (size_t k = start; k < i; ++k) out[k].clear();
        out[i] = "lower(" + column + ")";
        out[value] = "lower(" + out[value] + ")";
      }
    }
  }
  std::string text;
  for (const std::string& piece : out) text += piece;
  return text;
}

}  // namespace kestal::db::postgres
