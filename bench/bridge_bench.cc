// The bridge's steady throughput: records per second from a table file of
// orders into a database table through Bridge::Step (the core loop of
// "kestal bridge"), in mode 0 (INSERT batches in a transaction) and mode 2
// (bulk load), on SQLite and on PostgreSQL (when KESTAL_PG_CONN names a
// server). Each figure comes with a raw baseline measured in the same run on
// the same records, with the bridge's batch size and durability: every 500
// records committed on their own, as the bridge commits them. On SQLite that
// is libsqlite3 prepared inserts on a connection set up as the engine's
// session sets up its own (WAL journal, the library's default synchronous
// level), committing every 500 records; on PostgreSQL libpq multi-row
// INSERTs of 500 rows per transaction (for mode 0) and one COPY FROM STDIN
// of 500 rows per transaction (for mode 2). ratio = bridge / raw (1 is
// parity).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "tools/Bridge.h"

namespace kestal::bench {
namespace {

using kestal::tool::Bridge;
using kestal::tool::BridgeConfig;

constexpr long kSqliteRecords = 100000;
constexpr long kPostgresRecords = 50000;
constexpr int kBatch = 500;
const char kCreate[] =
    "create table orders (rec_num int, stock varchar(6), bs char(1), price decimal(10,2), "
    "qty int, note varchar(20))";

// One order as the raw baselines send it: the fields of the file record.
struct Order {
  std::string rec_num, stock, bs, price, qty, note;
};

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The table file of n orders (made once per size) and its records, read back
// from the file as a raw reader would.
const std::string& OrderFile(long n) {
  static std::string paths[2];
  std::string& path = paths[n == kSqliteRecords ? 0 : 1];
  if (path.empty()) path = MakeTable(ScratchFile("bridge-" + std::to_string(n) + ".dbf"), n);
  return path;
}

// Reads the records of the table file at path by offset, as the baselines do.
std::vector<Order> ReadOrders(const std::string& path, long n) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::string all(static_cast<size_t>(kHeaderLength + n * kRecordLength), '\0');
  const ssize_t got = pread(fd, all.data(), all.size(), 0);
  close(fd);
  if (got != static_cast<ssize_t>(all.size())) throw std::runtime_error("short read of " + path);
  std::vector<Order> orders(static_cast<size_t>(n));
  for (long i = 0; i < n; ++i) {
    const char* r = all.data() + kHeaderLength + i * kRecordLength;
    Order& o = orders[static_cast<size_t>(i)];
    o.rec_num = Trim(std::string(r + 1, 10));
    o.stock = std::string(r + 11, 6);
    o.bs = std::string(r + 17, 1);
    o.price = Trim(std::string(r + 18, 10));
    o.qty = Trim(std::string(r + 28, 8));
    o.note = std::string(r + 36, 20);
  }
  return orders;
}

struct Run {
  long records = 0;
  double seconds = 0;
};

// Runs the bridge from the file into the fresh table until it has copied n
// records.
Run RunBridge(const std::string& dbf, const std::string& conn, int mode, long n) {
  BridgeConfig config;
  config.dbf_path = dbf;
  config.connect = conn;
  config.table = "orders";
  config.mode = mode;
  config.batch = kBatch;
  config.tag = "BENCH";
  const long long start = NowNs();
  Bridge bridge(config,
                [](const std::string& text) { fprintf(stderr, "bridge: %s\n", text.c_str()); });
  bridge.Open();
  while (bridge.position() < n) {
    if (bridge.Step() == 0 && bridge.position() < n && !bridge.reachable()) {
      throw std::runtime_error("the database went away");
    }
  }
  Run run;
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  run.records = bridge.position();
  return run;
}

// --- SQLite ------------------------------------------------------------------

void SqliteExec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error(why);
  }
}

// A new database file holding an empty orders table.
std::string FreshSqlite(const std::string& name) {
  const std::string path = ScratchFile(name);
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  SqliteExec(db, kCreate);
  sqlite3_close(db);
  return path;
}

// Reads the file and inserts its records with one prepared statement,
// committing every kBatch records: the durability the bridge gives. The
// connection is set up as the SQLite engine's session sets up its own (WAL,
// the build's default synchronous level, which the session keeps).
Run RawSqlite(const std::string& dbf, long n) {
  const std::string path = FreshSqlite("raw.db");
  const long long start = NowNs();
  const std::vector<Order> orders = ReadOrders(dbf, n);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  SqliteExec(db, "PRAGMA journal_mode=WAL");
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "insert into orders values (?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
  long in_batch = 0;
  for (const Order& o : orders) {
    if (in_batch == 0) SqliteExec(db, "begin immediate");
    sqlite3_bind_int64(ins, 1, atol(o.rec_num.c_str()));
    sqlite3_bind_text(ins, 2, o.stock.data(), static_cast<int>(o.stock.size()), SQLITE_STATIC);
    sqlite3_bind_text(ins, 3, o.bs.data(), static_cast<int>(o.bs.size()), SQLITE_STATIC);
    sqlite3_bind_text(ins, 4, o.price.data(), static_cast<int>(o.price.size()), SQLITE_STATIC);
    sqlite3_bind_int64(ins, 5, atol(o.qty.c_str()));
    sqlite3_bind_text(ins, 6, o.note.data(), static_cast<int>(o.note.size()), SQLITE_STATIC);
    if (sqlite3_step(ins) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_reset(ins);
    if (++in_batch == kBatch) {
      SqliteExec(db, "commit");
      in_batch = 0;
    }
  }
  sqlite3_finalize(ins);
  if (in_batch > 0) SqliteExec(db, "commit");
  sqlite3_close(db);
  Run run;
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  run.records = n;
  return run;
}

void Report(benchmark::State& state, const Run& bridge, const Run& raw, long n) {
  if (bridge.records != n || raw.records != n) {
    state.SkipWithError("a side did not copy every record");
    return;
  }
  const double ours = static_cast<double>(bridge.records) / bridge.seconds;
  const double theirs = static_cast<double>(raw.records) / raw.seconds;
  state.counters["bridge_records_per_s"] = ours;
  state.counters["raw_records_per_s"] = theirs;
  state.counters["ratio"] = ours / theirs;
}

void BM_BridgeSqlite(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const std::string& dbf = OrderFile(kSqliteRecords);
  if (chdir(ScratchFile("").c_str()) != 0) state.SkipWithError("no scratch folder");
  Run bridge, raw;
  try {
    for (auto _ : state) {
      raw = RawSqlite(dbf, kSqliteRecords);
      const std::string db = FreshSqlite("bridge.db");
      bridge = RunBridge(dbf, "Provider=SQLite;Data Source=" + db, mode, kSqliteRecords);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  Report(state, bridge, raw, kSqliteRecords);
}
BENCHMARK(BM_BridgeSqlite)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1);

// --- PostgreSQL ----------------------------------------------------------------

// A libpq session on the server of KESTAL_PG_CONN; throws without one.
PGconn* PgConnect() {
  const char* conninfo = getenv("KESTAL_PG_CONN");
  if (conninfo == nullptr) throw std::runtime_error("KESTAL_PG_CONN is not set");
  PGconn* c = PQconnectdb(conninfo);
  if (PQstatus(c) != CONNECTION_OK) {
    const std::string why = PQerrorMessage(c);
    PQfinish(c);
    throw std::runtime_error(why);
  }
  return c;
}

void PgExec(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  const ExecStatusType s = PQresultStatus(r);
  PQclear(r);
  if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) throw std::runtime_error(PQerrorMessage(c));
}

// The ADO-style connection string of the KESTAL_PG_CONN server.
std::string PgAdoString() {
  PQconninfoOption* opts = PQconninfoParse(getenv("KESTAL_PG_CONN"), nullptr);
  std::string host = "127.0.0.1", port, user, dbname;
  for (PQconninfoOption* o = opts; o && o->keyword; ++o) {
    if (o->val == nullptr) continue;
    const std::string k = o->keyword;
    if (k == "host") host = o->val;
    if (k == "port") port = o->val;
    if (k == "user") user = o->val;
    if (k == "dbname") dbname = o->val;
  }
  PQconninfoFree(opts);
  std::string s = "Provider=PostgreSQL;Server=" + host;
  if (!port.empty()) s += ";Port=" + port;
  if (!dbname.empty()) s += ";Database=" + dbname;
  if (!user.empty()) s += ";User ID=" + user;
  return s;
}

void FreshPgTable(PGconn* c) {
  PgExec(c, "drop table if exists orders");
  PgExec(c, kCreate);
}

// Mode 0's counterpart: multi-row INSERTs of kBatch rows, one transaction each.
Run RawPgInsert(PGconn* c, const std::string& dbf, long n) {
  FreshPgTable(c);
  const long long start = NowNs();
  const std::vector<Order> orders = ReadOrders(dbf, n);
  for (long at = 0; at < n; at += kBatch) {
    std::string sql = "begin; insert into orders values ";
    for (long i = at; i < std::min<long>(n, at + kBatch); ++i) {
      const Order& o = orders[static_cast<size_t>(i)];
      if (i > at) sql += ',';
      sql += "(" + o.rec_num + ",'" + o.stock + "','" + o.bs + "'," + o.price + "," + o.qty + ",'" +
             o.note + "')";
    }
    sql += "; commit";
    PgExec(c, sql);
  }
  Run run;
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  run.records = n;
  return run;
}

// One COPY FROM STDIN of the given lines, its own transaction.
void PgCopy(PGconn* c, const std::string& lines) {
  PGresult* r = PQexec(c, "copy orders from stdin");
  const bool ready = PQresultStatus(r) == PGRES_COPY_IN;
  PQclear(r);
  if (!ready) throw std::runtime_error(PQerrorMessage(c));
  PQputCopyData(c, lines.data(), static_cast<int>(lines.size()));
  PQputCopyEnd(c, nullptr);
  r = PQgetResult(c);
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  while ((r = PQgetResult(c)) != nullptr) PQclear(r);
  if (!ok) throw std::runtime_error(PQerrorMessage(c));
}

// Mode 2's counterpart: one COPY FROM STDIN of kBatch records at a time,
// each its own transaction.
Run RawPgCopy(PGconn* c, const std::string& dbf, long n) {
  FreshPgTable(c);
  const long long start = NowNs();
  const std::vector<Order> orders = ReadOrders(dbf, n);
  std::string lines;
  for (long at = 0; at < n; at += kBatch) {
    lines.clear();
    for (long i = at; i < std::min<long>(n, at + kBatch); ++i) {
      const Order& o = orders[static_cast<size_t>(i)];
      lines += o.rec_num + '\t' + o.stock + '\t' + o.bs + '\t' + o.price + '\t' + o.qty + '\t' +
               o.note + '\n';
    }
    PgCopy(c, lines);
  }
  Run run;
  run.seconds = static_cast<double>(NowNs() - start) / 1e9;
  run.records = n;
  return run;
}

void BM_BridgePostgres(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const std::string& dbf = OrderFile(kPostgresRecords);
  if (chdir(ScratchFile("").c_str()) != 0) state.SkipWithError("no scratch folder");
  Run bridge, raw;
  try {
    PGconn* c = PgConnect();
    for (auto _ : state) {
      raw = mode == 2 ? RawPgCopy(c, dbf, kPostgresRecords) : RawPgInsert(c, dbf, kPostgresRecords);
      FreshPgTable(c);
      bridge = RunBridge(dbf, PgAdoString(), mode, kPostgresRecords);
    }
    PgExec(c, "drop table if exists orders");
    PQfinish(c);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  Report(state, bridge, raw, kPostgresRecords);
}
BENCHMARK(BM_BridgePostgres)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace kestal::bench
