// The raw baselines of the scale benchmark, each in the engine's own client
// library with nothing of Kestal in between: count(*) (beside Open), the
// window follow's own statements (beside GetRecordsetForBack), loaders of the
// same durability and batch as the bridge, and a plain sequential read of a
// table file (beside "kestal dbf cat"). Every value is read as text, as the
// library hands values out.
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "BenchTable.h"
#include "Scale.h"

namespace kestal::scale {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One connection of either engine running a statement and handing each
// row's columns over as text ("" for NULL).
class RawConnection {
 public:
  RawConnection(const std::string& engine, const std::string& target) {
    if (engine == "sqlite") {
      if (sqlite3_open_v2(target.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                          nullptr) != SQLITE_OK) {
        throw std::runtime_error("cannot open " + target + ": " + sqlite3_errmsg(db_));
      }
      Exec("PRAGMA journal_mode=WAL");
    } else {
      pg_ = PQconnectdb(target.c_str());
      if (PQstatus(pg_) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(pg_));
    }
  }
  ~RawConnection() {
    if (db_) sqlite3_close(db_);
    if (pg_) PQfinish(pg_);
  }
  bool sqlite() const { return db_ != nullptr; }
  sqlite3* db() const { return db_; }
  PGconn* pg() const { return pg_; }

  // Runs sql; row(values, columns) per row. Throws std::runtime_error.
  template <class Row>
  void Rows(const char* sql, Row&& row) const {
    const char* values[64];
    if (db_) {
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) Fail(sql);
      std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> st(raw, sqlite3_finalize);
      const int n = std::min(sqlite3_column_count(raw), 64);
      int rc;
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        for (int c = 0; c < n; ++c) {
          const unsigned char* t = sqlite3_column_text(raw, c);
          values[c] = t ? reinterpret_cast<const char*>(t) : "";
        }
        row(values, n);
      }
      if (rc != SQLITE_DONE) Fail(sql);
      return;
    }
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(pg_, sql), PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail(sql);
    const int rows = PQntuples(r.get());
    const int n = std::min(PQnfields(r.get()), 64);
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < n; ++c) values[c] = PQgetvalue(r.get(), i, c);
      row(values, n);
    }
  }

  // Runs sql that yields no rows. Throws std::runtime_error.
  void Exec(const std::string& sql) const {
    if (db_) {
      if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        Fail(sql.c_str());
      }
      return;
    }
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(pg_, sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) Fail(sql.c_str());
  }

  [[noreturn]] void Fail(const char* sql) const {
    throw std::runtime_error(std::string(db_ ? sqlite3_errmsg(db_) : PQerrorMessage(pg_)) +
                             " in: " + std::string(sql).substr(0, 200));
  }

 private:
  sqlite3* db_ = nullptr;
  PGconn* pg_ = nullptr;
};

// The fields of one order record of the table file, trailing blanks gone
// from text and leading blanks from numbers, as the bridge sends them.
struct OrderFields {
  std::string rec_num, stock, bs, price, qty, note;
};

std::string Trimmed(const char* p, size_t n) {
  size_t b = 0;
  while (b < n && p[b] == ' ') ++b;
  while (n > b && p[n - 1] == ' ') --n;
  return std::string(p + b, n - b);
}

OrderFields Fields(const char* r) {
  return {Trimmed(r + 1, 10),  Trimmed(r + 11, 6), Trimmed(r + 17, 1),
          Trimmed(r + 18, 10), Trimmed(r + 28, 8), Trimmed(r + 36, 20)};
}

// Reads the table file at path in large sequential pieces, handing each
// whole record to record(pointer). Returns the number of records.
template <class Record>
long ForEachRecord(const std::string& path, Record&& record) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  char header[32];
  if (pread(fd, header, sizeof header, 0) != sizeof header) {
    close(fd);
    throw std::runtime_error("cannot read the header of " + path);
  }
  uint32_t count = 0;
  std::memcpy(&count, header + 4, 4);
  const long header_length =
      static_cast<unsigned char>(header[8]) | static_cast<unsigned char>(header[9]) << 8;
  const long length =
      static_cast<unsigned char>(header[10]) | static_cast<unsigned char>(header[11]) << 8;
  const long per_read = (1 << 20) / length;
  std::string buf(static_cast<size_t>(per_read * length), '\0');
  long done = 0;
  while (done < static_cast<long>(count)) {
    const long n = std::min(per_read, static_cast<long>(count) - done);
    const ssize_t want = static_cast<ssize_t>(n * length);
    if (pread(fd, buf.data(), static_cast<size_t>(want), header_length + done * length) != want) {
      close(fd);
      throw std::runtime_error("short read of " + path);
    }
    for (long i = 0; i < n; ++i) record(buf.data() + i * length);
    done += n;
  }
  close(fd);
  return done;
}

}  // namespace

// raw-count ENGINE TARGET TABLE: select count(*). Timed as a whole process,
// as "kestal sql info" is.
int RawCount(const std::vector<std::string>& args) {
  RawConnection raw(args.at(0), args.at(1));
  long rows = 0;
  const std::string sql = "select count(*) from " + args.at(2);
  raw.Rows(sql.c_str(), [&](const char* const* v, int) { rows = std::atol(v[0]); });
  std::printf("rows=%ld\n", rows);
  return 0;
}

// raw-follow ENGINE TARGET TABLE: the window follow's statements from key 0
// until a window holds no row: the count of the next window's keys, then the
// rows up to its highest key, every column read as text.
int RawFollow(const std::vector<std::string>& args) {
  RawConnection raw(args.at(0), args.at(1));
  const std::string& table = args.at(2);
  const auto start = Clock::now();
  const double cpu = ProcessCpuSeconds();
  std::string last = "0";
  long rows = 0;
  long long bytes = 0;  // of every value read
  char sql[512];
  for (;;) {
    std::snprintf(sql, sizeof sql,
                  "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from %s where "
                  "rec_num>%s and rec_num<=%ld",
                  table.c_str(), last.c_str(), std::atol(last.c_str()) + kWindow);
    long count = 0;
    std::string max;
    raw.Rows(sql, [&](const char* const* v, int) {
      count = std::atol(v[0]);
      max = v[1];
    });
    if (count <= 0) break;
    std::snprintf(sql, sizeof sql,
                  "select * from %s where rec_num>%s and rec_num<=%s order by rec_num",
                  table.c_str(), last.c_str(), max.c_str());
    raw.Rows(sql, [&](const char* const* v, int n) {
      std::string cells[16];
      for (int c = 0; c < n && c < 16; ++c) {
        cells[c] = v[c];
        bytes += static_cast<long long>(cells[c].size());
      }
      last = cells[0];
      ++rows;
    });
  }
  std::printf("cpu=%.3f seconds=%.3f rows=%ld bytes=%lld\n", ProcessCpuSeconds() - cpu,
              SecondsSince(start), rows, bytes);
  return 0;
}

// raw-load ENGINE TARGET TABLE FILE [insert|copy]: the records of the table
// file into TABLE, committed every kBatch records. SQLite: one prepared
// insert in a transaction per batch. PostgreSQL: one multi-row INSERT
// (insert) or one COPY (copy) per batch, each its own transaction.
int RawLoad(const std::vector<std::string>& args) {
  RawConnection raw(args.at(0), args.at(1));
  const std::string& table = args.at(2);
  const std::string& file = args.at(3);
  const bool copy = args.size() > 4 && args[4] == "copy";
  long rows = 0;
  if (raw.sqlite()) {
    const std::string sql = "insert into " + table +
                            " (rec_num, stock, bs, price, qty, note) values (?, ?, ?, ?, ?, ?)";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(raw.db(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      raw.Fail(sql.c_str());
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(st, sqlite3_finalize);
    raw.Exec("begin");
    ForEachRecord(file, [&](const char* r) {
      const OrderFields f = Fields(r);
      const std::string* values[] = {&f.rec_num, &f.stock, &f.bs, &f.price, &f.qty, &f.note};
      for (int c = 0; c < 6; ++c) {
        sqlite3_bind_text(st, c + 1, values[c]->data(), static_cast<int>(values[c]->size()),
                          SQLITE_STATIC);
      }
      if (sqlite3_step(st) != SQLITE_DONE) raw.Fail(sql.c_str());
      sqlite3_reset(st);
      if (++rows % kBatch == 0) raw.Exec("commit; begin");
    });
    raw.Exec("commit");
    std::printf("rows=%ld\n", rows);
    return 0;
  }
  std::string batch;
  long in_batch = 0;
  auto send = [&] {
    if (in_batch == 0) return;
    if (!copy) {
      raw.Exec(batch);
    } else {
      const std::string sql =
          "copy " + table + " (rec_num, stock, bs, price, qty, note) from stdin";
      std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(raw.pg(), sql.c_str()), PQclear);
      if (PQresultStatus(r.get()) != PGRES_COPY_IN ||
          PQputCopyData(raw.pg(), batch.data(), static_cast<int>(batch.size())) != 1 ||
          PQputCopyEnd(raw.pg(), nullptr) != 1) {
        raw.Fail(sql.c_str());
      }
      bool ok = true;
      while (PGresult* done = PQgetResult(raw.pg())) {
        if (PQresultStatus(done) != PGRES_COMMAND_OK) ok = false;
        PQclear(done);
      }
      if (!ok) raw.Fail(sql.c_str());
    }
    batch.clear();
    in_batch = 0;
  };
  ForEachRecord(file, [&](const char* r) {
    const OrderFields f = Fields(r);
    if (copy) {
      batch += f.rec_num + '\t' + f.stock + '\t' + f.bs + '\t' + f.price + '\t' + f.qty + '\t' +
               f.note + '\n';
    } else {
      batch += in_batch == 0
                   ? "insert into " + table + " (rec_num, stock, bs, price, qty, note) values "
                   : std::string(",");
      batch += "(" + f.rec_num + ",'" + f.stock + "','" + f.bs + "'," + f.price + "," + f.qty +
               ",'" + f.note + "')";
    }
    ++rows;
    if (++in_batch == kBatch) send();
  });
  send();
  std::printf("rows=%ld\n", rows);
  return 0;
}

// raw-read FILE: every record of the table file to standard output as a
// comma-separated line of its trimmed fields; timed as a whole process, as
// "kestal dbf cat" is.
int RawRead(const std::vector<std::string>& args) {
  std::string line;
  ForEachRecord(args.at(0), [&](const char* r) {
    const OrderFields f = Fields(r);
    line.clear();
    line +=
        f.rec_num + ',' + f.stock + ',' + f.bs + ',' + f.price + ',' + f.qty + ',' + f.note + '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  });
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace kestal::scale
