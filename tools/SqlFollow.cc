// "kestal sql follow CONN TABLE": follows a table that other programs append
// to, one window of keys at a time, through GetRecordsetForBack, which only
// delivers a window whose keys are contiguous. Rows go to stdout as CSV; gap
// messages and reconnections go to stderr. On SIGINT or SIGTERM the command
// names the last key it delivered, from which --from resumes.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sql/SQLOperate.h"
#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/Options.h"
#include "tools/Signals.h"
#include "tools/SqlFollowLate.h"
#include "tools/SqlTable.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal sql follow CONN TABLE [--tag CJK|WTK] [--from KEY] [--filter COND]\n"
    "                         [--window N] [--interval MS] [--late-window DURATION]\n"
    "                         [--late deliver|report|ignore] [--gap-wait evidence|count]\n"
    "                         [--gap-max DURATION] [--state FILE]\n"
    "\n"
    "Prints a line of column names, then the rows of TABLE as CSV in key order as\n"
    "they arrive, until SIGINT or SIGTERM (exit status 0); then prints the last key\n"
    "delivered on stderr. A window whose keys are not contiguous is held back while\n"
    "the missing rows may still arrive (the gap message goes to stderr); the tenth\n"
    "look in a row delivers it anyway.\n"
    "  --tag TAG      CJK follows by rec_num (default), any other tag by serialnum\n"
    "  --from KEY     start after key KEY (default 0: the whole table)\n"
    "  --filter COND  deliver only rows meeting COND (T-SQL; {} for (), \"\" for '')\n"
    "  --window N     rows per window fetch, 1 to 100000 (default 100)\n"
    "  --interval MS  pause between polls once caught up (default 200)\n";

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
  Follower(CSQLOperate& sql, const Options& opts)
      : sql_(sql),
        tag_(opts.Get("tag", "CJK")),
        key_column_(tag_ == "CJK" ? "rec_num" : "serialnum"),
        key_(opts.Get("from", "0")),
        window_(static_cast<int>(opts.GetLong("window", 100, 1, 100000))),
        interval_(static_cast<int>(opts.GetLong("interval", 200, 0, 60000))),
        filter_(TableFilter(opts)),
        late_(sql, ParseLateOptions(opts), tag_, filter_) {
    if (!IsKey(key_)) throw UsageError("--from wants a whole number, not '" + key_ + "'");
    names_ = SqlFieldNames(sql_);
    if (FindSqlField(sql_, key_column_) < 0) {
      throw ToolError("the table has no column " + key_column_ + ", the key of tag '" + tag_ + "'");
    }
    key_ = late_.Resume(key_, key_column_);
  }

  // Polls until a stop is requested. Throws ToolError when stdout fails.
  void Run() {
    std::vector<std::string> header;
    for (const std::string& n : names_) header.push_back(ToTerminal(n));
    late_.MarkHeader(&header);
    Emit(CsvLine(header));
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
    while (!StopRequested()) {
      late_.Poll([this](const auto& value_of) { EmitRow(value_of, true); });
      late_.BeforeLook();
      const int n =
          sql_.GetRecordsetForBack(CString(filter_), CString(key_), window_, CString(tag_));
      ReportTrace(n);
      // A gap message comes with the held-back window and with the tenth
      // look, which delivers it anyway.
      if (!sql_.m_strGapInfo.IsEmpty()) Note(ToTerminal(sql_.m_strGapInfo.str()));
      late_.AfterLook(n);
      if (n > 0) {
        EmitWindow();
        late_.Delivered(key_);
        continue;
      }
      // A window in which no row met the filter is passed over.
      if (n == 0 && !sql_.m_strLastKey.IsEmpty()) key_ = sql_.m_strLastKey.str();
      late_.Delivered(key_);
      SleepUnlessStopped(interval_);
    }
    late_.Stopped();
    fprintf(stderr, "kestal sql follow: stopped; last key delivered: %s (resume with --from %s)\n",
            key_.c_str(), key_.c_str());
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
      if (IsKey(key)) key_ = key;
      sql_.MoveNextEx();
    }
    if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  }

  // Prints one row, each column's table text read by value_of(name).
  template <class ValueOf>
  void EmitRow(const ValueOf& value_of, bool late) {
    std::vector<std::string> values;
    for (const std::string& n : names_) values.push_back(ToTerminal(TrimRight(value_of(n))));
    late_.MarkRow(&values, late);
    Emit(CsvLine(values));
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
    } else if (result == -1 || trace.Find("ReOpenException") >= 0) {
      if (!down_) Note("the database cannot be reached; retrying");
      down_ = true;
    }
  }

  static void Note(const std::string& text) {
    fprintf(stderr, "kestal sql follow: %s\n", text.c_str());
  }

  static void Emit(const std::string& text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
      throw ToolError("cannot write the output");
    }
  }

  CSQLOperate& sql_;
  const std::string tag_;
  const std::string key_column_;
  std::string key_;
  const int window_;
  const int interval_;
  const std::string filter_;
  std::vector<std::string> names_;
  bool down_ = false;
  LateFollow late_;
};

}  // namespace

int RunSqlFollow(const Args& args) {
  Options opts(args, {{"tag", true},
                      {"from", true},
                      {"filter", true},
                      {"window", true},
                      {"interval", true},
                      {"late-window", true},
                      {"late", true},
                      {"gap-wait", true},
                      {"gap-max", true},
                      {"state", true}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    fputs(kLateUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(2, "CONN and TABLE");
  // Wrong usage is told before any connection is tried.
  opts.GetLong("window", 100, 1, 100000);
  opts.GetLong("interval", 200, 0, 60000);
  if (!IsKey(opts.Get("from", "0"))) {
    throw UsageError("--from wants a whole number, not '" + opts.Get("from") + "'");
  }
  ParseLateOptions(opts);
  InstallStopHandlers();
  auto sql = std::make_unique<CSQLOperate>();
  OpenSqlTable(sql.get(), opts.positional()[0], opts.positional()[1]);
  Follower(*sql, opts).Run();
  fflush(stdout);
  return kExitOk;
}

}  // namespace kestal::tool
