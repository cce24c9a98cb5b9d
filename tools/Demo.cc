// "kestal demo": two processes share one table file. An appender (kestal dbf
// append --tag WTK) receives orders at a steady rate and appends them under
// the lock, numbering them in REC_NUM; a follower (kestal dbf follow) prints
// each record as it appears. The demo checks that every order arrived exactly
// once, in order and unchanged.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/DbfSchema.h"
#include "tools/Options.h"
#include "tools/Process.h"
#include "tools/Signals.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal demo [--records N] [--keep DIR]\n"
    "\n"
    "In a temporary folder, one process appends N orders (default 200) to the\n"
    "table file orders.dbf at a steady rate, a batch every 20 ms (about two\n"
    "seconds for 100 orders or more), while another process follows the file and\n"
    "prints each record as it arrives. Ends with a summary that checks every\n"
    "order arrived exactly once, in order and unchanged; the exit status is 0\n"
    "only when it did.\n"
    "  --records N  number of orders (1 to 1000000)\n"
    "  --keep DIR   use DIR (created when missing) instead of a temporary folder and\n"
    "               keep DIR/orders.dbf afterwards; it must not exist yet\n";

constexpr int kTickMs = 20;
constexpr int kTicks = 100;  // the orders are spread over about two seconds
constexpr long long kCatchUpMs = 10000;

// Milliseconds on the monotonic clock.
long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The fields of order i (1-based) as the follower prints them, in the
// terminal's encoding. REC_NUM is i: the appender numbers the records.
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

// Writes all of text to fd; throws ToolError when the appender is gone.
void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw ToolError(std::string("cannot feed the appender: ") + strerror(errno));
    done += static_cast<size_t>(w);
  }
}

// What the follower delivered, checked against the orders sent.
struct Tally {
  long received = 0;  // records after the header line
  long good = 0;      // records that were the next order, unchanged
  std::string first_problem;

  // Counts one followed record and checks it is the next order.
  void Take(const CsvRecord& rec) {
    ++received;
    const std::vector<std::string> want = Order(good + 1);
    if (rec.fields == want) {
      ++good;
    } else if (first_problem.empty()) {
      first_problem = "record " + std::to_string(received) + " was " + CsvLine(rec.fields) +
                      "  expected " + CsvLine(want);
    }
  }
};

struct Folder {
  std::string dir;
  std::string table;
  bool temporary = false;
};

// The folder for the table: --keep DIR (made when missing) or a new
// temporary one. Throws ToolError when it cannot be made.
Folder PrepareFolder(const Options& opts) {
  Folder f;
  if (opts.Has("keep")) {
    f.dir = opts.Get("keep");
    if (f.dir.empty()) throw UsageError("--keep wants a folder");
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
  return f;
}

class Demo {
 public:
  Demo(const Folder& folder, long records) : folder_(folder), records_(records) {}

  ~Demo() {
    for (Child* c : {&appender_, &follower_}) {
      CloseFd(&c->stdin_fd);
      CloseFd(&c->stdout_fd);
      if (c->pid > 0) {
        kill(c->pid, SIGKILL);
        WaitChild(c->pid);
      }
    }
  }

  // Runs both processes and prints the summary; true when every order arrived
  // exactly once, in order and unchanged.
  bool Run() {
    CreateEmptyTable(folder_.table, ParseFieldList(kFields));
    follower_ =
        StartSelf({"dbf", "follow", folder_.table, "--from", "1", "--interval", "5"}, false, true);
    appender_ = StartSelf({"dbf", "append", folder_.table, "--tag", "WTK"}, true, false);
    const long per_tick = (records_ + kTicks - 1) / kTicks;
    printf("Table:    %s\n", folder_.table.c_str());
    printf("Appender: process %d, kestal dbf append --tag WTK, %ld order%s every %d ms\n",
           static_cast<int>(appender_.pid), per_tick, per_tick == 1 ? "" : "s", kTickMs);
    printf("Follower: process %d, kestal dbf follow --from 1\n\n", static_cast<int>(follower_.pid));
    fflush(stdout);

    const long long start = NowMs();
    long long next_tick = start;
    long long give_up = LLONG_MAX;
    long sent = 0;
    int appender_status = -1;
    while (!StopRequested()) {
      const long long now = NowMs();
      if (sent < records_ && now >= next_tick) {
        std::string lines;
        for (long k = 0; k < per_tick && sent < records_; ++k) {
          std::vector<std::string> order = Order(++sent);
          order[0].clear();  // the appender numbers the records
          lines += CsvLine(order);
        }
        WriteAll(appender_.stdin_fd, lines);
        next_tick += kTickMs;
        if (sent == records_) {
          CloseFd(&appender_.stdin_fd);
          appender_status = WaitChild(appender_.pid);
          appender_.pid = -1;
          give_up = NowMs() + kCatchUpMs;
          if (appender_status != 0) break;
        }
      }
      if (sent == records_ && (tally_.received >= records_ || NowMs() > give_up)) break;
      const long long wait = sent < records_ ? std::max(0LL, next_tick - NowMs()) : 50;
      if (!ReadFollower(static_cast<int>(wait))) break;
    }
    const bool interrupted = StopRequested();
    const long long elapsed = NowMs() - start;

    // Stop the follower and take whatever it still had to say.
    if (follower_.pid > 0) kill(follower_.pid, SIGTERM);
    while (ReadFollower(1000)) {
    }
    const int follower_status = follower_.pid > 0 ? WaitChild(follower_.pid) : -1;
    follower_.pid = -1;
    return Summarize(sent, appender_status, follower_status, interrupted, elapsed);
  }

 private:
  // Waits up to ms for output of the follower and prints the records it
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
      fputs(CsvLine(rec.fields).c_str(), stdout);
      if (header_seen_) {
        tally_.Take(rec);
      } else {
        header_seen_ = true;
      }
    }
    fflush(stdout);
    return follower_.stdout_fd >= 0;
  }

  bool Summarize(long sent, int appender_status, int follower_status, bool interrupted,
                 long long elapsed) {
    const bool ok = !interrupted && appender_status == 0 && follower_status == 0 &&
                    tally_.received == records_ && tally_.good == records_;
    printf("\nSummary: %ld orders sent, %ld records followed in %.2f s\n", sent, tally_.received,
           static_cast<double>(elapsed) / 1000.0);
    if (interrupted) printf("  interrupted\n");
    if (appender_status != 0) printf("  the appender ended with status %d\n", appender_status);
    if (follower_status != 0) printf("  the follower ended with status %d\n", follower_status);
    if (tally_.received < records_) {
      printf("  %ld orders never arrived\n", records_ - tally_.received);
    }
    if (tally_.received > records_) {
      printf("  %ld records more than orders\n", tally_.received - records_);
    }
    if (!tally_.first_problem.empty()) printf("  first problem: %s", tally_.first_problem.c_str());
    if (ok) {
      printf("  every order arrived exactly once, in order and unchanged (REC_NUM 1 to %ld)\n",
             records_);
    }
    printf("%s\n", ok ? "OK" : "FAILED");
    if (!folder_.temporary) printf("Table kept: %s\n", folder_.table.c_str());
    return ok;
  }

  const Folder folder_;
  const long records_;
  Child appender_;
  Child follower_;
  CsvReader reader_;
  bool header_seen_ = false;
  Tally tally_;
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
  signal(SIGPIPE, SIG_IGN);  // a dead appender shows as a failed write
  bool ok = false;
  std::string error;
  try {
    ok = Demo(folder, records).Run();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (folder.temporary) {
    unlink(folder.table.c_str());
    rmdir(folder.dir.c_str());
  }
  if (!error.empty()) throw ToolError(error);
  return ok ? kExitOk : kExitError;
}

}  // namespace kestal::tool
