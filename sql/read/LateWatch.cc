// LateWatch: the runs of skipped keys under watch, and the one query per look
// that finds rows committed into them late. What must hold: a key leaves the
// watch exactly when a look found its row (or its time ran out), so each
// late row is handed out once; a failed look changes nothing.
#include "sql/LateWatch.h"

#include <algorithm>
#include <cstdlib>

#include "sql/read/ReadHelpers.h"

using kestal::read::ReadText;

namespace kestal {
namespace {

// "k>=a and k<=b" runs joined with "or", single keys as "k=a".
template <class It>
CString KeyCondition(const char* column, It begin, It end) {
  CString out;
  for (It it = begin; it != end; ++it) {
    if (!out.IsEmpty()) out += " or ";
    if (it->first == it->last) {
      out.AppendFormat("%s=%lld", column, static_cast<long long>(it->first));
    } else {
      out.AppendFormat("(%s>=%lld and %s<=%lld)", column, static_cast<long long>(it->first), column,
                       static_cast<long long>(it->last));
    }
  }
  return out;
}

// Sorted keys as runs of consecutive keys.
std::vector<WatchedKeys> RunsOf(const std::vector<int64_t>& keys) {
  std::vector<WatchedKeys> runs;
  for (int64_t k : keys) {
    if (!runs.empty() && runs.back().last + 1 == k) {
      runs.back().last = k;
    } else if (runs.empty() || runs.back().last < k) {
      runs.push_back({k, k, 0, 0, 0});
    }
  }
  return runs;
}

}  // namespace

void LateWatch::Watch(const SKIPPEDKEYS& run) {
  if (run.lLast < run.lFirst) return;
  runs_.push_back({run.lFirst, run.lLast, run.tSkipped, run.tSkipped + window_ms_, 0});
}

void LateWatch::Restore(const WatchedKeys& w) {
  if (w.last < w.first) return;
  runs_.push_back(w);
  runs_.back().looked_ms = 0;
}

int64_t LateWatch::KeyCount() const {
  int64_t n = 0;
  for (const WatchedKeys& r : runs_) n += r.last - r.first + 1;
  return n;
}

LateWatch::Found LateWatch::Look(CSQLOperate& sql, const CString& strFilter,
                                 const CString& strTableTag) {
  Found found;
  if (runs_.empty()) return found;
  const char* column = strTableTag.Compare("CJK") == 0 ? "rec_num" : "serialnum";
  if (turn_ >= runs_.size()) turn_ = 0;
  const size_t count = std::min(kMaxRunsPerLook, runs_.size() - turn_);
  const auto first = runs_.begin() + static_cast<std::ptrdiff_t>(turn_);
  const int64_t now = WallClockMs();
  CString query;
  query.Format("select * from %s where %s order by %s", sql.m_strTableName.c_str(),
               KeyCondition(column, first, first + static_cast<std::ptrdiff_t>(count)).c_str(),
               column);
  _RecordsetPtr rows = sql.m_pConnection->Execute(query);
  for (rows->MoveFirst(); !rows->IsEOF(); rows->MoveNext()) {
    found.keys.push_back(std::strtoll(ReadText(rows, column).c_str(), nullptr, 10));
  }
  std::sort(found.keys.begin(), found.keys.end());
  found.keys.erase(std::unique(found.keys.begin(), found.keys.end()), found.keys.end());
  if (!found.keys.empty()) {
    CString cond;
    sql.FormatSQL(cond, strFilter);
    if (cond.IsEmpty()) {
      found.rows = rows;
    } else {
      // Only the rows found are read again, now with the filter.
      const std::vector<WatchedKeys> runs = RunsOf(found.keys);
      query.Format("select * from %s where ( %s ) and ( %s ) order by %s",
                   sql.m_strTableName.c_str(),
                   KeyCondition(column, runs.begin(), runs.end()).c_str(), cond.c_str(), column);
      found.rows = sql.m_pConnection->Execute(query);
    }
    found.rows->MoveFirst();
  }
  for (auto it = first; it != first + static_cast<std::ptrdiff_t>(count); ++it) {
    it->looked_ms = now;
  }
  turn_ += count;
  for (int64_t k : found.keys) Remove(k);
  return found;
}

std::vector<WatchedKeys> LateWatch::Expire() {
  std::vector<WatchedKeys> ended;
  std::vector<WatchedKeys> kept;
  for (const WatchedKeys& r : runs_) (r.until_ms <= r.looked_ms ? ended : kept).push_back(r);
  runs_.swap(kept);
  return ended;
}

void LateWatch::Remove(int64_t key) {
  for (size_t i = 0; i < runs_.size(); ++i) {
    WatchedKeys& r = runs_[i];
    if (key < r.first || key > r.last) continue;
    if (r.first == r.last) {
      runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (key == r.first) {
      ++r.first;
    } else if (key == r.last) {
      --r.last;
    } else {
      WatchedKeys upper = r;
      upper.first = key + 1;
      r.last = key - 1;
      runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(i) + 1, upper);
    }
    return;
  }
}

}  // namespace kestal
