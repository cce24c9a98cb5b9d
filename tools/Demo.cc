// "kestal demo": the whole road of an order, on the embedded database. A
// writer (kestal dbf append --numbered) receives orders at a steady rate and
// appends them to a table file under the lock, numbering them in REC_NUM; a
// bridge (kestal bridge) copies them into an SQLite table; a follower (kestal
// sql follow --key rec_num) prints each row as it arrives there. The demo checks
// that every order arrived in the database exactly once, in order and
// unchanged.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sql/SQLOperate.h"
#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/DbfSchema.h"
#include "tools/Options.h"
#include "tools/Process.h"
#include "tools/Signals.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal demo [--records N] [--keep DIR]\n"
    "\n"
    "In a temporary folder, a writer process appends N orders (default 200) to the\n"
    "table file orders.dbf at a steady rate, a batch every 20 ms (about two seconds\n"
    "for 100 orders or more); a bridge process copies them into the table orders\n"
    "of the SQLite database orders.db; a follower process prints the rows as they\n"
    "arrive there. Shows progress, and ends with a summary that checks every order\n"
    "arrived in the database exactly once, in order and unchanged; the exit status\n"
    "is 0 only when it did.\n"
    "  --records N  number of orders (1 to 1000000)\n"
    "  --keep DIR   use DIR (created when missing) instead of a temporary folder and\n"
    "               keep orders.dbf and orders.db there; they must not exist yet\n";

constexpr int kTickMs = 20;
constexpr int kTicks = 100;  // the orders are spread over about two seconds
constexpr long long kCatchUpMs = 10000;
constexpr long long kProgressMs = 500;

// Milliseconds on the monotonic clock.
long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The fields of order i (1-based) as the follower prints them, in the
// terminal's encoding. REC_NUM is i: the writer numbers the records.
std::vector<std::string> Order(long i) {
  static const char* const kStocks[] = {"600000", "600036", "000001", "000858", "601318"};
  const bool buy = i % 2 == 1;
  char price[32];
  snprintf(price, sizeof price, "%.2f", 10.0 + static_cast<double>(i % 100) / 100.0);
  // "买入" (buy) and "卖出, 限价" (sell, limit), GBK.
  const char* note = buy ? "\xC2\xF2\xC8\xEB" : "\xC2\xF4\xB3\xF6, \xCF\xDE\xBC\xDB";
  return {
      std::to_string(i), kStocks[i % 5], buy ? "B" : "S", price, std::to_string(100 * (1 + i % 10)),
      ToTerminal(note)};
}

const char kFields[] = "REC_NUM:N:8,STOCK:C:6,BS:C:1,PRICE:N:10:2,QTY:N:8,NOTE:C:20";
const char kCreateTable[] =
    "create table orders (rec_num int, stock varchar(6), bs char(1), price decimal(10,2), "
    "qty int, note varchar(20))";
constexpr int kPriceField = 3;

// True when row is order want; the price is compared as a number, since the
// database prints 10.10 as 10.1.
bool SameOrder(const std::vector<std::string>& row, const std::vector<std::string>& want) {
  if (row.size() != want.size()) return false;
  for (size_t k = 0; k < row.size(); ++k) {
    if (static_cast<int>(k) == kPriceField) {
      if (row[k].empty() || strtod(row[k].c_str(), nullptr) != strtod(want[k].c_str(), nullptr)) {
        return false;
      }
    } else if (row[k] != want[k]) {
      return false;
    }
  }
  return true;
}

// Writes all of text to fd; throws ToolError when the writer is gone.
void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw ToolError(std::string("cannot feed the writer: ") + strerror(errno));
    done += static_cast<size_t>(w);
  }
}

// What the follower delivered, checked against the orders sent.
struct Tally {
  long received = 0;  // rows after the header line
  long good = 0;      // rows that were the next order, unchanged
  std::string first_problem;

  // Counts one followed row and checks it is the next order.
  void Take(const CsvRecord& rec) {
    ++received;
    const std::vector<std::string> want = Order(good + 1);
    if (SameOrder(rec.fields, want)) {
      ++good;
    } else if (first_problem.empty()) {
      first_problem = "row " + std::to_string(received) + " was " + CsvLine(rec.fields) +
                      "  expected " + CsvLine(want);
    }
  }
};

struct Folder {
  std::string dir;
  std::string table;
  std::string database;
  bool temporary = false;
};

// The folder for the files: --keep DIR (made when missing) or a new
// temporary one. Throws ToolError when it cannot be made.
Folder PrepareFolder(const Options& opts) {
  Folder f;
  if (opts.Has("keep")) {
    f.dir = opts.Get("keep");
    if (f.dir.empty()) throw UsageError(BadOptionValue("keep", "a folder", f.dir));
    if (mkdir(f.dir.c_str(), 0777) != 0 && errno != EEXIST) {
      throw ToolError("cannot make the folder '" + f.dir + "': " + strerror(errno));
    }
  } else {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kestal-demo-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      throw ToolError(std::string("cannot make a temporary folder: ") + strerror(errno));
    }
    f.dir = templ;
    f.temporary = true;
  }
  f.table = f.dir + "/orders.dbf";
  f.database = f.dir + "/orders.db";
  return f;
}

// The connection string of the demo database; create makes the file.
std::string Connection(const Folder& f, bool create) {
  return "Provider=SQLite;Data Source=" + f.database + (create ? ";Create=yes" : "");
}

// Makes the database and its orders table. Throws ToolError when the
// database exists already or cannot be made.
void CreateDatabase(const Folder& f) {
  struct stat st {};
  if (stat(f.database.c_str(), &st) == 0) {
    throw ToolError("the database '" + f.database + "' already exists");
  }
  auto sql = std::make_unique<CSQLOperate>();
  try {
    sql->m_pConnection.CreateInstance();
    sql->m_pConnection->Open(CString(Connection(f, true)));
  } catch (const _com_error& e) {
    throw ToolError("cannot make the database '" + f.database + "': " + DescribeComError(e));
  }
  const CString answer = sql->AddCJHBRecord(CString(kCreateTable));
  if (answer.str().rfind("-", 0) == 0) {
    throw ToolError("cannot make the orders table: " + ToTerminal(answer.str()));
  }
}

// The row count and highest rec_num of the orders table, read through the
// library; -1 for both when the table cannot be opened.
void TableFigures(const Folder& f, long* rows, long* max_rec_num) {
  *rows = -1;
  *max_rec_num = -1;
  auto sql = std::make_unique<CSQLOperate>();
  if (!sql->Open(Connection(f, false).c_str(), "orders")) return;
  *rows = sql->m_lTotalRecord;
  *max_rec_num = atol(sql->GetMaxNum().c_str()) - 1;
  sql->Close();
}

class Demo {
 public:
  Demo(const Folder& folder, long records) : folder_(folder), records_(records) {}

  ~Demo() {
    for (Child* c : {&writer_, &bridge_, &follower_}) {
      CloseFd(&c->stdin_fd);
      CloseFd(&c->stdout_fd);
      if (c->pid > 0) {
        kill(c->pid, SIGKILL);
        WaitChild(c->pid);
      }
    }
  }

  // Runs the three processes and prints the summary; true when every order
  // arrived in the database exactly once, in order and unchanged.
  bool Run() {
    CreateEmptyTable(folder_.table, ParseFieldList(kFields));
    CreateDatabase(folder_);
    const std::string conn = Connection(folder_, false);
    follower_ = StartSelf({"sql", "follow", conn, "orders", "--key", "rec_num", "--interval", "20"},
                          false, true);
    bridge_ =
        StartSelf({"bridge", folder_.table, conn, "orders", "--interval", "20"}, false, false);
    // The writer's closing count ("N records appended") is not the demo's
    // output: its stdout goes to a pipe nobody reads (one short line fits).
    writer_ = StartSelf({"dbf", "append", folder_.table, "--numbered"}, true, true);
    const long per_tick = (records_ + kTicks - 1) / kTicks;
    printf("Table file: %s\n", folder_.table.c_str());
    printf("Database:   %s, table orders\n", folder_.database.c_str());
    printf("Writer:     process %d, kestal dbf append --numbered, %ld order%s every %d ms\n",
           static_cast<int>(writer_.pid), per_tick, per_tick == 1 ? "" : "s", kTickMs);
    printf("Bridge:     process %d, kestal bridge orders.dbf ... orders\n",
           static_cast<int>(bridge_.pid));
    printf("Follower:   process %d, kestal sql follow ... orders --key rec_num\n\n",
           static_cast<int>(follower_.pid));
    fflush(stdout);

    start_ = NowMs();
    long long next_tick = start_;
    long long next_progress = start_ + kProgressMs;
    long long give_up = LLONG_MAX;
    int writer_status = -1;
    while (!StopRequested()) {
      const long long now = NowMs();
      if (sent_ < records_ && now >= next_tick) {
        std::string lines;
        for (long k = 0; k < per_tick && sent_ < records_; ++k) {
          std::vector<std::string> order = Order(++sent_);
          order[0].clear();  // the writer numbers the records
          lines += CsvLine(order);
        }
        WriteAll(writer_.stdin_fd, lines);
        next_tick += kTickMs;
        if (sent_ == records_) {
          CloseFd(&writer_.stdin_fd);
          writer_status = WaitChild(writer_.pid);
          writer_.pid = -1;
          give_up = NowMs() + kCatchUpMs;
          if (writer_status != 0) break;
        }
      }
      if (now >= next_progress) {
        Progress();
        next_progress += kProgressMs;
      }
      if (sent_ == records_ && (tally_.received >= records_ || NowMs() > give_up)) break;
      if (!ChildrenAlive()) break;
      long long wait = sent_ < records_ ? std::max(0LL, next_tick - NowMs()) : 50;
      wait = std::min(wait, std::max(0LL, next_progress - NowMs()));
      if (!ReadFollower(static_cast<int>(wait))) break;
    }
    const bool interrupted = StopRequested();
    const long long elapsed = NowMs() - start_;
    Progress();

    // Stop the follower and the bridge, and take what the follower still had.
    const int bridge_status = Stop(&bridge_);
    if (follower_.pid > 0) kill(follower_.pid, SIGTERM);
    while (ReadFollower(1000)) {
    }
    const int follower_status = follower_.pid > 0 ? WaitChild(follower_.pid) : -1;
    follower_.pid = -1;
    long rows = 0, max_rec_num = 0;
    TableFigures(folder_, &rows, &max_rec_num);
    return Summarize(writer_status, bridge_status, follower_status, interrupted, elapsed, rows,
                     max_rec_num);
  }

 private:
  // SIGTERM to a child and its exit status.
  static int Stop(Child* c) {
    if (c->pid <= 0) return -1;
    kill(c->pid, SIGTERM);
    const int status = WaitChild(c->pid);
    c->pid = -1;
    return status;
  }

  // False, after saying so, when the bridge or the writer ended early.
  bool ChildrenAlive() {
    for (Child* c : {&bridge_, &writer_}) {
      if (c->pid <= 0) continue;
      int status = 0;
      if (waitpid(c->pid, &status, WNOHANG) == c->pid) {
        printf("  %s process %d ended early\n", c == &bridge_ ? "the bridge" : "the writer",
               static_cast<int>(c->pid));
        c->pid = -1;
        return false;
      }
    }
    return true;
  }

  void Progress() {
    printf("%6.1f s  orders written %ld, rows followed in the database %ld\n",
           static_cast<double>(NowMs() - start_) / 1000.0, sent_, tally_.received);
    fflush(stdout);
  }

  // Waits up to ms for output of the follower and checks the rows it
  // completes. False once the follower's output has ended.
  bool ReadFollower(int ms) {
    if (follower_.stdout_fd < 0) return false;
    struct pollfd p {};
    p.fd = follower_.stdout_fd;
    p.events = POLLIN;
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[65536];
    const ssize_t r = read(follower_.stdout_fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) return true;
    if (r <= 0) {
      CloseFd(&follower_.stdout_fd);
      reader_.Finish();
    } else {
      reader_.Feed(buf, static_cast<size_t>(r));
    }
    CsvRecord rec;
    while (reader_.Next(&rec)) {
      if (header_seen_) {
        tally_.Take(rec);
      } else {
        header_seen_ = true;
      }
    }
    return follower_.stdout_fd >= 0;
  }

  bool Summarize(int writer_status, int bridge_status, int follower_status, bool interrupted,
                 long long elapsed, long rows, long max_rec_num) {
    const bool ok = !interrupted && writer_status == 0 && bridge_status == 0 &&
                    follower_status == 0 && tally_.received == records_ &&
                    tally_.good == records_ && rows == records_ && max_rec_num == records_;
    printf(
        "\nSummary: %ld orders written, %ld rows followed in %.2f s; the table holds %ld "
        "rows, rec_num up to %ld\n",
        sent_, tally_.received, static_cast<double>(elapsed) / 1000.0, rows, max_rec_num);
    if (interrupted) printf("  interrupted\n");
    if (writer_status != 0) printf("  the writer ended with status %d\n", writer_status);
    if (bridge_status != 0) printf("  the bridge ended with status %d\n", bridge_status);
    if (follower_status != 0) printf("  the follower ended with status %d\n", follower_status);
    if (tally_.received < records_) {
      printf("  %ld orders never arrived\n", records_ - tally_.received);
    }
    if (tally_.received > records_) {
      printf("  %ld rows more than orders\n", tally_.received - records_);
    }
    if (rows != records_) printf("  the table holds %ld rows, not %ld\n", rows, records_);
    if (!tally_.first_problem.empty()) printf("  first problem: %s", tally_.first_problem.c_str());
    if (ok) {
      printf("  every order arrived exactly once, in order and unchanged (rec_num 1 to %ld)\n",
             records_);
    }
    printf("%s\n", ok ? "OK" : "FAILED");
    if (!folder_.temporary) {
      printf("Kept: %s and %s\n", folder_.table.c_str(), folder_.database.c_str());
    }
    return ok;
  }

  const Folder folder_;
  const long records_;
  Child writer_;
  Child bridge_;
  Child follower_;
  CsvReader reader_;
  bool header_seen_ = false;
  Tally tally_;
  long sent_ = 0;
  long long start_ = 0;
};

}  // namespace

int RunDemo(const Args& args) {
  Options opts(args, {{"records", true}, {"keep", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(0, "");
  const long records = opts.GetLong("records", 200, 1, 1000000);
  const Folder folder = PrepareFolder(opts);
  InstallStopHandlers();
  signal(SIGPIPE, SIG_IGN);  // a dead writer shows as a failed write
  bool ok = false;
  std::string error;
  try {
    ok = Demo(folder, records).Run();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (folder.temporary) {
    for (const std::string& f : {folder.table, folder.database, folder.database + "-journal",
                                 folder.database + "-wal", folder.database + "-shm"}) {
      unlink(f.c_str());
    }
    rmdir(folder.dir.c_str());
  }
  if (!error.empty()) throw ToolError(error);
  return ok ? kExitOk : kExitError;
}

}  // namespace kestal::tool
