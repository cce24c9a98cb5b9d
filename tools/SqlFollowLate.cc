// LateFollow: skipped keys reported and watched, late rows handed out, gaps
// held by evidence, and the state file. What must hold: a skipped key is
// reported once when skipped and, unless its row turns up, once more as
// skipped for good; a late row is handed out at most once (it leaves the
// watch when found); the state file is replaced whole or not at all.
#include "tools/SqlFollowLate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/Log.h"
#include "tools/TerminalText.h"
#include "tools/ToolError.h"
#include "tools/WriteAll.h"

namespace kestal::tool {

const char kLateUsage[] =
    "  --late-window DURATION  watch keys skipped at the tenth look this long for\n"
    "                 rows committed late (default 10m; 0: no watch; units ms s m h)\n"
    "  --late MODE    deliver: print late rows, every line then ends with a column\n"
    "                 kestal_late (\"late\" on late rows); report (default): name\n"
    "                 them on stderr only; ignore: do not watch\n"
    "  --gap-wait HOW count (default): the tenth look passes a gap; evidence\n"
    "                 (PostgreSQL): hold it while a transaction seen when it was\n"
    "                 first found still runs, pass it once none does\n"
    "  --gap-max DURATION  evidence holds a gap at most this long (default 60s)\n"
    "  --state FILE   keep the last key and the watch in FILE; a restart with the\n"
    "                 same FILE resumes from them (FILE wins over --after)\n";

namespace {

// Looks of the window fetch after which it passes a gap (its tenth look):
// the retry count it keeps in m_nRetryCount runs from 1 to this minus 1.
constexpr int kGapLooks = 10;
constexpr char kStateMagic[] = "kestal sql follow state 1";

// The table the notices are about; set by the one LateFollow of the process.
std::string g_table;

void Note(const std::string& text) {
  Logger("kestal sql follow", "table", g_table).Warn("notice", text);
}

std::string Keys(int64_t first, int64_t last) {
  std::string s = std::to_string(first);
  if (last != first) s += "-" + std::to_string(last);
  return s + (last == first ? " (1 key)" : " (" + std::to_string(last - first + 1) + " keys)");
}

std::string Seconds(int64_t ms) {
  char buf[32];
  snprintf(buf, sizeof buf, "%lld s", static_cast<long long>((ms + 999) / 1000));
  return buf;
}

// The message of errno for operation what on path.
ToolError SystemError(const std::string& what, const std::string& path) {
  return ToolError("cannot " + what + " " + path + ": " + strerror(errno));
}

// Replaces path by text: a temporary file beside it, written and synced,
// renamed over it, and the folder synced, so that a crash leaves the old
// file or the new one, never a part.
void ReplaceFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw SystemError("create", tmp);
  if (!WriteAll(fd, text) || fsync(fd) != 0) {
    const ToolError e = SystemError("write", tmp);
    close(fd);
    unlink(tmp.c_str());
    throw e;
  }
  if (close(fd) != 0) throw SystemError("close", tmp);
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const ToolError e = SystemError("rename " + tmp + " to", path);
    unlink(tmp.c_str());
    throw e;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) throw SystemError("open the folder", dir);
  const int synced = fsync(dfd);
  close(dfd);
  if (synced != 0) throw SystemError("sync the folder", dir);
}

// A whole decimal number, optionally negative.
bool IsWholeNumber(const std::string& s) {
  size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

}  // namespace

int64_t ParseDuration(const std::string& option, const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const std::string unit = text.substr(digits);
  int64_t scale = 0;
  if (unit.empty() || unit == "s") scale = 1000;
  if (unit == "ms") scale = 1;
  if (unit == "m") scale = 60000;
  if (unit == "h") scale = 3600000;
  if (digits == 0 || digits > 9 || scale == 0) {
    throw UsageError("--" + option + " wants a duration such as 30s, 10m or 500ms, not '" + text +
                     "'");
  }
  return std::stoll(text.substr(0, digits)) * scale;
}

LateOptions ParseLateOptions(const Options& opts) {
  LateOptions o;
  if (opts.Has("late-window")) o.window_ms = ParseDuration("late-window", opts.Get("late-window"));
  const std::string mode = opts.Get("late", "report");
  if (mode == "deliver") {
    o.mode = LateMode::kDeliver;
  } else if (mode == "report") {
    o.mode = LateMode::kReport;
  } else if (mode == "ignore") {
    o.mode = LateMode::kIgnore;
  } else {
    throw UsageError("--late wants deliver, report or ignore, not '" + mode + "'");
  }
  const std::string wait = opts.Get("gap-wait", "count");
  if (wait == "evidence") {
    o.gap_wait = GapWait::kEvidence;
  } else if (wait != "count") {
    throw UsageError("--gap-wait wants evidence or count, not '" + wait + "'");
  }
  if (opts.Has("gap-max")) o.gap_max_ms = ParseDuration("gap-max", opts.Get("gap-max"));
  o.state_path = opts.Get("state");
  if (opts.Has("state") && o.state_path.empty()) throw UsageError("--state wants a file name");
  return o;
}

LateFollow::LateFollow(CSQLOperate& sql, LateOptions options, std::string tag, std::string filter)
    : sql_(sql),
      options_(std::move(options)),
      tag_(std::move(tag)),
      filter_(std::move(filter)),
      watch_(options_.window_ms) {
  g_table = sql_.m_strTableName.str();
  if (options_.gap_wait == GapWait::kEvidence) {
    evidence_ = ShowsTransactionsInFlight(sql_);
    if (!evidence_) {
      Note(
          "--gap-wait evidence: this engine shows a reader no transactions in flight; gaps are "
          "passed at the tenth look");
    }
  }
}

std::string LateFollow::Resume(const std::string& from, const std::string& key_column) {
  key_column_ = key_column;
  last_key_ = from;
  if (options_.state_path.empty()) return last_key_;
  const std::string& path = options_.state_path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) throw SystemError("look at the state file", path);
    SaveState();
    return last_key_;
  }
  std::ifstream in(path);
  if (!in) throw SystemError("open the state file", path);
  const ToolError bad("the state file " + path + " is not one this command wrote");
  std::string line;
  if (!std::getline(in, line) || line != kStateMagic) throw bad;
  std::string word;
  std::string column;
  std::string key;
  if (!std::getline(in, line) || !(std::istringstream(line) >> word >> column) ||
      word != "column") {
    throw bad;
  }
  if (!std::getline(in, line) || !(std::istringstream(line) >> word >> key) || word != "last" ||
      !IsWholeNumber(key)) {
    throw bad;
  }
  if (column != key_column_) {
    throw ToolError("the state file " + path + " follows the key " + column + ", not " +
                    key_column_);
  }
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    WatchedKeys w{};
    if (!(fields >> word >> w.first >> w.last >> w.skipped_ms >> w.until_ms) || word != "watch" ||
        w.last < w.first) {
      throw bad;
    }
    if (options_.mode != LateMode::kIgnore) watch_.Restore(w);
  }
  if (from != "0" && from != key) {
    Note("resuming after key " + key + " from the state file " + path + " (not --after " + from +
         ")");
  }
  last_key_ = key;
  return last_key_;
}

void LateFollow::BeforeLook() {
  if (!evidence_ || !series_ || sql_.m_nRetryCount == 0) return;
  const int64_t waited = WallClockMs() - first_seen_ms_;
  bool in_flight = false;
  try {
    in_flight = AnyStillInFlight(first_, TakeTxSnapshot(sql_));
  } catch (const _com_error&) {
    // No evidence to be had: the count of looks decides this time.
    return;
  }
  if (in_flight && waited < options_.gap_max_ms) {
    if (sql_.m_nRetryCount >= kGapLooks - 1) {
      sql_.m_nRetryCount = kGapLooks - 2;
      ++counters_.gap_looks_held;
      if (!held_noted_) {
        Note("holding the gap (" + std::string(ToTerminal(sql_.m_strGapStart.str())) +
             " is the window's end): a transaction seen when it was first found still runs");
        held_noted_ = true;
      }
    }
    return;
  }
  if (in_flight) {
    ++counters_.gaps_passed_at_limit;
    Note("passing the gap: transactions seen when it was first found still run after " +
         Seconds(options_.gap_max_ms) + " (--gap-max)");
  } else {
    ++counters_.gaps_passed_early;
  }
  // The next look passes the gap if it is still there.
  sql_.m_nRetryCount = kGapLooks - 1;
  series_ = false;
}

void LateFollow::AfterLook(int result) {
  ++polls_since_look_;
  if (evidence_) {
    if (sql_.m_nRetryCount == 0) {
      series_ = false;
      held_noted_ = false;
    } else if (result == CSQLOperate::kGapCode && sql_.m_nRetryCount == 1 && !series_) {
      try {
        first_ = TakeStartSnapshot(sql_);
        first_seen_ms_ = WallClockMs();
        series_ = true;
      } catch (const _com_error& e) {
        series_ = false;  // judged by the count of looks
        if (!evidence_failed_noted_) {
          char status[16];
          snprintf(status, sizeof status, "%08lx", static_cast<unsigned long>(e.Error()));
          Note(std::string("--gap-wait evidence: no transaction snapshot (status ") + status +
               ", PostgreSQL 13 or later has one); this gap is passed at the tenth look");
          evidence_failed_noted_ = true;
        }
      }
    }
  }
  const std::vector<SKIPPEDKEYS> skipped = sql_.GetSkippedKeys(true);
  for (const SKIPPEDKEYS& run : skipped) {
    ++counters_.skips;
    counters_.keys_skipped += static_cast<uint64_t>(run.lLast - run.lFirst + 1);
    const bool watched = options_.mode != LateMode::kIgnore && options_.window_ms > 0;
    Note("skipped keys " + Keys(run.lFirst, run.lLast) + ": no row after the last look" +
         (watched ? "; watching them for " + Seconds(options_.window_ms) : ""));
    if (watched) watch_.Watch(run);
  }
}

void LateFollow::Poll(const RowSink& sink) {
  if (watch_.empty()) return;
  const int64_t now = WallClockMs();
  bool due = polls_since_look_ >= options_.look_every;
  for (const WatchedKeys& w : watch_.watched()) due = due || w.until_ms <= now;
  if (!due) return;
  polls_since_look_ = 0;
  const size_t before = static_cast<size_t>(watch_.KeyCount());
  Look(sink);
  bool changed = static_cast<size_t>(watch_.KeyCount()) != before;
  // A run leaves only after a look at or after its end did not find it.
  if (!watch_down_) {
    for (const WatchedKeys& w : watch_.Expire()) {
      counters_.keys_skipped_for_good += static_cast<uint64_t>(w.last - w.first + 1);
      Note("keys " + Keys(w.first, w.last) + " skipped for good: no row within " +
           Seconds(w.until_ms - w.skipped_ms) + " of the skip");
      changed = true;
    }
  }
  if (changed) SaveState();
}

void LateFollow::Look(const RowSink& sink) {
  LateWatch::Found found;
  try {
    ++counters_.watch_queries;
    found = watch_.Look(sql_, CString(filter_), CString(tag_));
    if (watch_down_) Note("the watch of skipped keys works again");
    watch_down_ = false;
  } catch (const _com_error& e) {
    ++counters_.watch_failures;
    if (!watch_down_) {
      char status[16];
      snprintf(status, sizeof status, "%08lx", static_cast<unsigned long>(e.Error()));
      Note(std::string("the watch of skipped keys failed (status ") + status + "); retrying");
    }
    watch_down_ = true;
    return;
  }
  counters_.late_rows += found.keys.size();
  std::vector<int64_t> delivered;
  if (found.rows) {
    for (; !found.rows->IsEOF(); found.rows->MoveNext()) {
      const _RecordsetPtr& rs = found.rows;
      const std::string key = rs->GetCollect(key_column_.c_str()).ToString().str();
      if (options_.mode == LateMode::kDeliver) {
        sink([&rs](const std::string& column) {
          const _variant_t v = rs->GetCollect(column.c_str());
          return v.IsNull() ? std::string() : v.ToString().str();
        });
        ++counters_.late_rows_delivered;
      }
      delivered.push_back(std::strtoll(key.c_str(), nullptr, 10));
    }
  }
  for (int64_t k : found.keys) {
    const bool met = std::find(delivered.begin(), delivered.end(), k) != delivered.end();
    if (!met) {
      Note("late row key " + std::to_string(k) + " appeared; the filter turns it away");
    } else if (options_.mode == LateMode::kDeliver) {
      Note("late row key " + std::to_string(k) + " delivered, marked late");
    } else {
      Note("late row key " + std::to_string(k) + " appeared after its key was skipped (--late " +
           "report: not printed)");
    }
  }
}

void LateFollow::Delivered(const std::string& key) {
  if (key == last_key_) return;
  last_key_ = key;
  SaveState();
}

void LateFollow::Stopped() const {
  if (watch_.empty()) return;
  std::string keys;
  for (const WatchedKeys& w : watch_.watched()) {
    keys += (keys.empty() ? "" : ", ") + std::to_string(w.first);
    if (w.last != w.first) keys += "-" + std::to_string(w.last);
  }
  Note("skipped keys still watched at the stop: " + keys +
       (options_.state_path.empty() ? " (no --state: the next run does not watch them)"
                                    : " (kept in " + options_.state_path + ")"));
}

void LateFollow::SaveState() {
  if (options_.state_path.empty()) return;
  std::string text =
      std::string(kStateMagic) + "\ncolumn " + key_column_ + "\nlast " + last_key_ + "\n";
  for (const WatchedKeys& w : watch_.watched()) {
    text += "watch " + std::to_string(w.first) + " " + std::to_string(w.last) + " " +
            std::to_string(w.skipped_ms) + " " + std::to_string(w.until_ms) + "\n";
  }
  ReplaceFile(options_.state_path, text);
  ++counters_.state_writes;
}

void LateFollow::MarkHeader(std::vector<std::string>* names) const {
  if (options_.mode == LateMode::kDeliver) names->push_back("kestal_late");
}

void LateFollow::MarkRow(std::vector<std::string>* values, bool late) const {
  if (options_.mode == LateMode::kDeliver) values->push_back(late ? "late" : "");
}

}  // namespace kestal::tool
