// kestal_scale: the scale benchmark (scripts/scale-bench.sh). Builds a trade
// table of SCALE_ROWS rows (default 10,000,000) in a SQLite file and, when
// KESTAL_PG_CONN names a server, in a scratch PostgreSQL database, and an
// order table file of as many records; then times each case as a child
// process beside the engine's raw equivalent, and prints time, peak resident
// memory and their ratios to raw. Scratch files go to $TMPDIR (or /tmp) and
// the scratch database is dropped at the end.
//
//   kestal_scale KESTAL_BINARY     the whole benchmark
//   kestal_scale CASE ARGS...      one child case (see Scale.h)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "Scale.h"
#include "SqlScratch.h"
#include "TradeTable.h"

namespace kestal::scale {
namespace {

using bench::PgScratch;
using bench::SqliteScratch;

// The order table the bridge fills, as the file's fields give it, with the
// index that lets the bridge and the driver read the highest rec_num.
const char kOrders[] =
    " (rec_num int, stock varchar(6), bs char(1), price decimal(10,2), qty int, "
    "note varchar(20)); create index ";

std::string Self() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  return std::string(path, static_cast<size_t>(n));
}

long Rows() {
  const char* env = std::getenv("SCALE_ROWS");
  const long rows = env && *env ? std::atol(env) : 10000000L;
  if (rows < 1000) throw std::runtime_error("SCALE_ROWS must be at least 1000");
  return rows;
}

// True when case name is to run: SCALE_CASES lists them (open, follow,
// bridge, cat; comma-separated), all when it is unset.
bool Wanted(const std::string& name) {
  const char* env = std::getenv("SCALE_CASES");
  if (env == nullptr || *env == '\0') return true;
  const std::string list = std::string(",") + env + ",";
  return list.find("," + name + ",") != std::string::npos;
}

// One line of the result table: a Kestal case beside its raw equivalent.
struct Line {
  std::string name;
  Measured kestal, raw;
};

// Kestal / raw, or 0 when raw is 0.
double Ratio(double kestal, double raw) {
  return raw > 0 ? kestal / raw : 0;
}

void Print(const std::vector<Line>& lines, long rows) {
  std::printf(
      "\nScale benchmark, %ld rows. Wall and CPU time in s (CPU: the client process "
      "alone, the server's work is not in it), peak resident memory in MB; x raw = "
      "Kestal / raw, 1 is parity.\n",
      rows);
  std::printf("%-34s %8s %8s %6s %8s %8s %6s %9s %8s %6s\n", "case", "wall", "raw", "x raw", "cpu",
              "raw", "x raw", "peak_MB", "raw", "x raw");
  for (const Line& l : lines) {
    const bool ok = l.kestal.ok && l.raw.ok;
    const double kmb = static_cast<double>(l.kestal.peak_kb) / 1024.0;
    const double rmb = static_cast<double>(l.raw.peak_kb) / 1024.0;
    std::printf("%-34s %8.2f %8.2f %6.2f %8.2f %8.2f %6.2f %9.1f %8.1f %6.2f%s\n", l.name.c_str(),
                l.kestal.seconds, l.raw.seconds, Ratio(l.kestal.seconds, l.raw.seconds),
                l.kestal.cpu, l.raw.cpu, Ratio(l.kestal.cpu, l.raw.cpu), kmb, rmb, Ratio(kmb, rmb),
                ok ? "" : "  FAILED");
  }
  std::fflush(stdout);
}

// Runs and reports one side of a case on stderr as it goes.
Measured Side(const std::string& what, const std::vector<std::string>& argv,
              const std::string& out = std::string(), const std::function<bool()>& done = nullptr) {
  std::fprintf(stderr, "scale: %s ...\n", what.c_str());
  Measured m = RunMeasured(argv, out, done);
  std::fprintf(stderr, "scale: %s: %.2f s (cpu %.2f s), %.1f MB%s\n", what.c_str(), m.seconds,
               m.cpu, static_cast<double>(m.peak_kb) / 1024.0, m.ok ? "" : " FAILED");
  return m;
}

// The rows= count a child printed, or -1.
long PrintedRows(const Measured& m) {
  const size_t at = m.out.rfind("rows=");
  return at == std::string::npos ? -1 : std::atol(m.out.c_str() + at + 5);
}

// Marks m failed when its child did not see the expected number of rows.
void Expect(Measured* m, long rows) {
  if (PrintedRows(*m) != rows) m->ok = false;
}

// The cases of one engine. raw_target: the SQLite file or the libpq
// conninfo of the raw side; ado(name): the CSQLOperate connection string of
// the database holding table name; max(name): the highest rec_num of table
// name, for the bridge's stop test; create(name): makes an order table.
struct Engine {
  std::string name;  // "sqlite" or "postgres"
  std::string raw_engine;
  std::string trades_ado, trades_raw;
  std::function<std::string(const std::string&)> ado, raw_target;
  std::function<long(const std::string&)> max;
  std::function<void(const std::string&)> create;
};

void RunEngine(const Engine& e, const std::string& kestal, const std::string& dbf, long rows,
               const std::string& dir, std::vector<Line>* lines) {
  const std::string self = Self();
  if (Wanted("open")) {
    Line open{e.name + " Open (sql info) / count(*)", {}, {}};
    open.raw =
        Side(e.name + " raw count(*)", {self, "raw-count", e.raw_engine, e.trades_raw, "trades"});
    Expect(&open.raw, rows);
    open.kestal = Side(e.name + " kestal sql info", {kestal, "sql", "info", e.trades_ado, "trades"},
                       dir + "/info.out");
    lines->push_back(open);
  }

  if (Wanted("follow")) {
    Line follow{e.name + " follow from key 0", {}, {}};
    follow.raw =
        Side(e.name + " raw follow", {self, "raw-follow", e.raw_engine, e.trades_raw, "trades"});
    Expect(&follow.raw, rows);
    follow.kestal = Side(e.name + " GetRecordsetForBack follow",
                         {self, "kestal-follow", e.trades_ado, "trades"});
    Expect(&follow.kestal, rows);
    // Both sides read every value: the same bytes, or they did not read the same.
    const size_t kb = follow.kestal.out.rfind("bytes="), rb = follow.raw.out.rfind("bytes=");
    if (kb == std::string::npos || rb == std::string::npos ||
        std::atoll(follow.kestal.out.c_str() + kb + 6) !=
            std::atoll(follow.raw.out.c_str() + rb + 6)) {
      follow.kestal.ok = false;
    }
    lines->push_back(follow);
  }

  for (const char* mode : {"0", "2"}) {
    if (!Wanted("bridge")) break;
    const std::string raw_table = std::string("orders_r") + mode;
    const std::string bridge_table = std::string("orders_b") + mode;
    e.create(raw_table);
    e.create(bridge_table);
    Line bridge{e.name + " bridge mode " + mode + " / loader", {}, {}};
    std::vector<std::string> loader = {self,      "raw-load", e.raw_engine, e.raw_target(raw_table),
                                       raw_table, dbf};
    if (e.name == "postgres") loader.push_back(mode[0] == '0' ? "insert" : "copy");
    bridge.raw = Side(e.name + " raw loader (" + mode + ")", loader);
    Expect(&bridge.raw, rows);
    bridge.kestal = Side(e.name + " kestal bridge --mode " + mode,
                         {kestal, "bridge", dbf, e.ado(bridge_table), bridge_table, "--mode", mode},
                         dir + "/bridge.out", [&] { return e.max(bridge_table) >= rows; });
    if (e.max(bridge_table) != rows) bridge.kestal.ok = false;
    lines->push_back(bridge);
  }
}

// The highest rec_num of table through a raw SQLite connection.
long SqliteMax(sqlite3* db, const std::string& table) {
  long max = -1;
  const std::string sql = "select max(rec_num) from " + table;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    max = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  return max;
}

long PgMax(PGconn* conn, const std::string& table) {
  PGresult* r = PQexec(conn, ("select coalesce(max(rec_num), 0) from " + table).c_str());
  const long max = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atol(PQgetvalue(r, 0, 0)) : -1;
  PQclear(r);
  return max;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int RunAll(const std::string& kestal) {
  const long rows = Rows();
  std::vector<Line> lines;
  const std::string dir = bench::ScratchFile("");
  // The bridge's mode 2 writes its load file below the working folder: the
  // scratch folder, which goes at the end.
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
  auto start = std::chrono::steady_clock::now();
  const std::string dbf = bench::MakeTable(bench::ScratchFile("orders.dbf"), rows);
  std::fprintf(stderr, "scale: table file of %ld records in %.1f s\n", rows, Since(start));

  {
    start = std::chrono::steady_clock::now();
    SqliteScratch trades("scale_trades");
    bench::CreateTrades(trades, "trades");
    for (long first = 1; first <= rows; first += 1000000) {
      bench::AppendTrades(trades, "trades", first, std::min(rows, first + 999999));
    }
    trades.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    std::fprintf(stderr, "scale: SQLite table of %ld rows in %.1f s\n", rows, Since(start));
    std::map<std::string, std::unique_ptr<SqliteScratch>> targets;
    Engine e;
    e.name = e.raw_engine = "sqlite";
    e.trades_ado = trades.AdoString();
    e.trades_raw = trades.path();
    e.create = [&](const std::string& table) {
      auto db = std::make_unique<SqliteScratch>("scale_" + table);
      db->Exec("create table " + table + kOrders + table + "_rec_num on " + table + "(rec_num)");
      targets[table] = std::move(db);
    };
    e.ado = [&](const std::string& table) { return targets.at(table)->AdoString(); };
    e.raw_target = [&](const std::string& table) { return targets.at(table)->path(); };
    e.max = [&](const std::string& table) { return SqliteMax(targets.at(table)->db(), table); };
    RunEngine(e, kestal, dbf, rows, dir, &lines);
  }

  const char* pg = std::getenv("KESTAL_PG_CONN");
  if (pg && *pg) {
    start = std::chrono::steady_clock::now();
    PgScratch db("scale");
    bench::CreateTrades(db, "trades");
    bench::AppendTrades(db, "trades", 1, rows);
    db.Exec("analyze trades");
    std::fprintf(stderr, "scale: PostgreSQL table of %ld rows in %.1f s\n", rows, Since(start));
    const std::string ado = db.AdoString();
    const size_t at = ado.find(";Database=") + 10;
    const std::string conninfo =
        std::string(pg) + " dbname=" + ado.substr(at, ado.find(';', at) - at);
    Engine e;
    e.name = "postgres";
    e.raw_engine = "pg";
    e.trades_ado = ado;
    e.trades_raw = conninfo;
    e.create = [&](const std::string& table) {
      db.Exec("create table " + table + kOrders + table + "_rec_num on " + table + "(rec_num)");
    };
    e.ado = [&](const std::string&) { return ado; };
    e.raw_target = [&](const std::string&) { return conninfo; };
    e.max = [&](const std::string& table) { return PgMax(db.conn(), table); };
    RunEngine(e, kestal, dbf, rows, dir, &lines);
  } else {
    std::fprintf(stderr, "scale: KESTAL_PG_CONN is not set: PostgreSQL left out\n");
  }

  if (Wanted("cat")) {
    Line cat{"dbf cat / sequential read", {}, {}};
    cat.raw = Side("raw read of the table file", {Self(), "raw-read", dbf}, "/dev/null");
    cat.kestal = Side("kestal dbf cat", {kestal, "dbf", "cat", dbf}, "/dev/null");
    lines.push_back(cat);
  }

  Print(lines, rows);
  for (const Line& l : lines) {
    if (!l.kestal.ok || !l.raw.ok) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace kestal::scale

int main(int argc, char** argv) {
  using namespace kestal::scale;
  const std::map<std::string, int (*)(const std::vector<std::string>&)> cases = {
      {"raw-count", RawCount},
      {"raw-follow", RawFollow},
      {"kestal-follow", KestalFollow},
      {"raw-load", RawLoad},
      {"raw-read", RawRead}};
  if (argc < 2) {
    std::fprintf(stderr, "usage: kestal_scale KESTAL_BINARY | CASE ARGS...\n");
    return 2;
  }
  try {
    const auto found = cases.find(argv[1]);
    if (found != cases.end()) return found->second(std::vector<std::string>(argv + 2, argv + argc));
    return RunAll(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale: %s\n", e.what());
    return 1;
  }
}
