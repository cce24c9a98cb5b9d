// "kestal sql follow CONN TABLE": follows a table that other programs append
// to, one window of keys at a time, through GetRecordsetForBack, which only
// delivers a window whose keys are contiguous. Rows go to stdout as CSV; gap
// messages and reconnections go to stderr. A statement the database refuses
// (a bad filter) stops the command with the database's reason; only a lost
// connection is waited out. On SIGINT or SIGTERM the command names the last
// key it delivered and the key it scanned up to, after which --after resumes.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sql/SQLOperate.h"
#include "tools/BridgeRunner.h"
#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/FetchFault.h"
#include "tools/Log.h"
#include "tools/Observe.h"
#include "tools/Options.h"
#include "tools/Signals.h"
#include "tools/SqlFollowLate.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal sql follow CONN TABLE [--key rec_num|serialnum] [--after KEY]\n"
    "                         [--filter COND] [--window N] [--interval MS]\n"
    "                         [--late-window DURATION] [--late deliver|report|ignore]\n"
    "                         [--gap-wait evidence|count] [--gap-max DURATION]\n"
    "                         [--state FILE] [--metrics ADDR:PORT]\n"
    "                         [--log-format text|json]\n"
    "       kestal sql follow --config FILE [OPTIONS]\n"
    "\n"
    "Prints a line of column names, then the rows of TABLE as CSV in key order as\n"
    "they arrive, until SIGINT or SIGTERM (exit status 0); then prints on stderr the\n"
    "last key delivered and the key scanned up to. A window whose keys are not\n"
    "contiguous is held back while the missing rows may still arrive (the gap\n"
    "message goes to stderr); the tenth look in a row delivers it anyway. A\n"
    "statement the database refuses (such as a bad --filter) stops the command\n"
    "with the database's reason (exit status 1).\n"
    "  --key COLUMN   the key column: rec_num (default) or serialnum (formerly\n"
    "                 --tag CJK and --tag WTK)\n"
    "  --after KEY    deliver the rows after key KEY (default 0: the whole table;\n"
    "                 formerly --from)\n"
    "  --filter COND  deliver only rows meeting COND, a T-SQL condition. The\n"
    "                 library turns {} into () and \"\" into '' before running it,\n"
    "                 so COND can be written without those characters where a\n"
    "                 shell or a batch file would take them; both forms work\n"
    "  --window N     rows per window fetch, 1 to 100000 (default 100)\n"
    "  --interval MS  pause between polls once caught up with the table's end\n"
    "                 (default 200)\n"
    "  --config FILE  read CONN, TABLE and the options from the TOML file FILE\n"
    "                 (keys connect, table, password and the option names; a\n"
    "                 flag given here wins)\n";

// s without trailing blanks (the padding of fixed-width values).
std::string TrimRight(const std::string& s) {
  const size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}

// A whole decimal number, optionally negative.
bool IsKey(const std::string& s) {
  size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

class Follower {
 public:
  Follower(CSQLOperate& sql, const Options& opts, Observer& observer)
      : sql_(sql),
        observer_(observer),
        stats_(observer.registry().AddFollower(opts.positional()[1])),
        log_("kestal sql follow", "table", opts.positional()[1]),
        key_column_(opts.Get("key", "rec_num")),
        tag_(key_column_ == "rec_num" ? "CJK" : "WTK"),
        key_(opts.Get("after", "0")),
        window_(static_cast<int>(opts.GetLong("window", 100, 1, 100000))),
        interval_(static_cast<int>(opts.GetLong("interval", 200, 0, 60000))),
        filter_(TableFilter(opts)),
        late_(sql, ParseLateOptions(opts), tag_, filter_) {
    names_ = SqlFieldNames(sql_);
    if (FindSqlField(sql_, key_column_) < 0) {
      throw ToolError("the table has no key column " + key_column_);
    }
    key_ = late_.Resume(key_, key_column_);
    stats_->link = static_cast<int>(LinkState::kUp);
  }

  // Polls until a stop is requested. Throws ToolError when stdout fails.
  void Run() {
    std::vector<std::string> header;
    for (const std::string& n : names_) header.push_back(ToTerminal(n));
    late_.MarkHeader(&header);
    Emit(CsvLine(header));
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
    observer_.Ready("following " + sql_.m_strTableName.str());
    while (!StopRequested()) {
      observer_.Alive();
      late_.Poll([this](const auto& value_of) { EmitRow(value_of, true); });
      late_.BeforeLook();
      const int n =
          sql_.GetRecordsetForBack(CString(filter_), CString(key_), window_, CString(tag_));
      if (Failed(n)) {
        const std::string why = StatementFault(sql_);
        if (!why.empty()) throw ToolError("the database refuses the statement: " + why);
      }
      ReportTrace(n);
      CountLook(n);
      // A gap message comes with the held-back window and with the tenth
      // look, which delivers it anyway.
      if (!sql_.m_strGapInfo.IsEmpty()) Note(ToTerminal(sql_.m_strGapInfo.str()));
      late_.AfterLook(n);
      if (n > 0) {
        EmitWindow();
        late_.Delivered(key_);
        continue;
      }
      // A window in which no row met the filter is passed over at once: only
      // at the table's end (or at a gap, or while the database is lost) is
      // there reason to wait.
      if (n == 0 && !sql_.m_strLastKey.IsEmpty()) {
        key_ = sql_.m_strLastKey.str();
        late_.Delivered(key_);
        continue;
      }
      late_.Delivered(key_);
      SleepUnlessStopped(observer_.SleepMs(interval_));
    }
    observer_.Stopping();
    late_.Stopped();
    log_.Info(
        "stopped",
        "stopped; last key delivered: " + (delivered_.empty() ? std::string("none") : delivered_) +
            "; scanned up to key " + key_ + " (resume with --after " + key_ + ")",
        {{"rows", static_cast<int64_t>(stats_->rows.load())}});
  }

 private:
  // The --filter text in the table code page. Throws ToolError when it
  // holds characters the code page lacks.
  static std::string TableFilter(const Options& opts) {
    std::string filter;
    if (!FromTerminal(opts.Get("filter"), &filter)) {
      throw ToolError("the filter holds text that the table code page cannot hold");
    }
    return filter;
  }

  // Prints the rows of the open window and remembers the key of each.
  void EmitWindow() {
    while (sql_.SeekToCurrentPos()) {
      EmitRow([this](const std::string& n) { return sql_.GetFieldValue(CString(n)).str(); }, false);
      const std::string key = TrimRight(sql_.GetFieldValue(CString(key_column_)).str());
      if (IsKey(key)) {
        key_ = delivered_ = key;
        stats_->last_key = atoll(key.c_str());
        stats_->has_key = true;
      }
      sql_.MoveNextEx();
    }
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  }

  // True when the fetch failed or had to reconnect.
  bool Failed(int result) const {
    return result == -1 || sql_.m_strTrace.str().find("ReOpen") != std::string::npos;
  }

  // Prints one row, each column's table text read by value_of(name).
  template <class ValueOf>
  void EmitRow(const ValueOf& value_of, bool late) {
    std::vector<std::string> values;
    for (const std::string& n : names_) values.push_back(ToTerminal(TrimRight(value_of(n))));
    late_.MarkRow(&values, late);
    Emit(CsvLine(values));
    ++stats_->rows;
    if (late) ++stats_->late_rows;
    if (late && fflush(stdout) != 0) throw ToolError("cannot write the output");
  }

  // Tells reconnections from the trace of the last fetch: a lost database
  // once per outage, each successful reconnection.
  void ReportTrace(int result) {
    // Searched by characters: the trace holds the filter's GBK text.
    const CString& trace = sql_.m_strTrace;
    if (trace.Find("ReOpenSuccess") >= 0) {
      Note("reconnected to the database");
      down_ = false;
      ++stats_->reconnections;
    } else if (result == -1 || trace.Find("ReOpenException") >= 0) {
      if (!down_) Note("the database cannot be reached; retrying");
      down_ = true;
    }
    // The database answered this look, whatever the notices said before.
    const bool answered = result != -1 && trace.Find("ReOpenException") < 0;
    stats_->link = static_cast<int>(answered ? LinkState::kUp : LinkState::kDown);
  }

  // Counts a window held back at a gap, and one delivered anyway at the
  // tenth look (the gap message comes with a window then).
  void CountLook(int result) {
    if (result == CSQLOperate::kGapCode) {
      ++stats_->gap_holds;
    } else if (result > 0 && !sql_.m_strGapInfo.IsEmpty()) {
      ++stats_->forced;
    }
  }

  void Note(const std::string& text) const { log_.Warn("notice", text); }

  static void Emit(const std::string& text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
      throw ToolError("cannot write the output");
    }
  }

  CSQLOperate& sql_;
  Observer& observer_;
  std::shared_ptr<FollowerStats> stats_;
  const Logger log_;
  const std::string key_column_;
  const std::string tag_;  // the library's name for the key: CJK rec_num, WTK serialnum
  std::string key_;        // scanned up to: the next window starts after it
  std::string delivered_;  // the key of the last row printed
  const int window_;
  const int interval_;
  const std::string filter_;
  std::vector<std::string> names_;
  bool down_ = false;
  LateFollow late_;
};

}  // namespace

int RunSqlFollow(const Args& args) {
  int configured = kExitOk;
  if (RunConfigured(FollowConfigShape(), args, RunSqlFollow, &configured)) return configured;
  Options opts(args, {{"key", true},
                      {"tag", true},
                      {"after", true},
                      {"from", true},
                      {"filter", true},
                      {"window", true},
                      {"interval", true},
                      {"late-window", true},
                      {"late", true},
                      {"gap-wait", true},
                      {"gap-max", true},
                      {"state", true},
                      {"metrics", true},
                      {"stuck-after", true},
                      {"log-format", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    fputs(kLateUsage, stdout);
    fputs(kObserveUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(2, "CONN and TABLE");
  // The old spellings: --from KEY started after KEY, --tag CJK chose
  // rec_num and any other tag serialnum.
  opts.Rename("from", "after", "kestal sql follow");
  if (opts.Has("tag")) {
    const std::string tag = opts.Get("tag");
    opts.Rename("tag", "key", "kestal sql follow");
    if (opts.Get("key") == tag) opts.Set("key", tag == "CJK" ? "rec_num" : "serialnum");
  }
  // Wrong usage is told before any connection is tried.
  opts.GetLong("window", 100, 1, 100000);
  opts.GetLong("interval", 200, 0, 60000);
  if (!IsKey(opts.Get("after", "0"))) {
    throw UsageError(BadOptionValue("after", "a whole number", opts.Get("after")));
  }
  const std::string key = opts.Get("key", "rec_num");
  if (key != "rec_num" && key != "serialnum") {
    throw UsageError(BadOptionValue("key", "rec_num or serialnum", key));
  }
  ParseLateOptions(opts);
  Observer observer(opts, "kestal sql follow");
  InstallStopHandlers();
  observer.Start();
  auto sql = std::make_unique<CSQLOperate>();
  OpenSqlTable(sql.get(), opts.positional()[0], opts.positional()[1], true);
  Follower(*sql, opts, observer).Run();
  fflush(stdout);
  return kExitOk;
}

}  // namespace kestal::tool
