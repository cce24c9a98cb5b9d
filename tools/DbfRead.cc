// "kestal dbf cat" and "kestal dbf follow": records as CSV under a header
// line of field names. Both read blocks of up to 500 records after the
// position and step through them, as any reader of a growing table does.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "dbf/DBFOperate.h"
#include "tools/Commands.h"
#include "tools/Csv.h"
#include "tools/DbfTable.h"
#include "tools/DbfWatch.h"
#include "tools/Options.h"
#include "tools/Signals.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kCatUsage[] =
    "Usage: kestal dbf cat FILE [--from N] [--limit N] [--deleted copy|skip]\n"
    "\n"
    "Prints the records of the table file FILE as CSV (RFC 4180) under a line of\n"
    "field names, in the terminal's encoding. Padding spaces are removed.\n"
    "A file shorter than its record count gives the records it holds, then an\n"
    "error (status 1).\n"
    "  --from N   start at record N (1-based; default 1)\n"
    "  --limit N  print at most N records (default: all there are at the start)\n"
    "  --deleted copy|skip  print records marked deleted too (copy, the default)\n"
    "             or leave them out (skip); --from and --limit count them either way\n";

const char kFollowUsage[] =
    "Usage: kestal dbf follow FILE [--from N] [--interval MS]\n"
    "\n"
    "Prints a line of field names, then records of FILE as CSV as other processes\n"
    "append them, like tail -f, until SIGINT or SIGTERM (exit status 0); then\n"
    "prints on stderr the last record printed and the --from that resumes after it.\n"
    "A file holding fewer records than its header counts (cut or damaged) ends it\n"
    "after the records it holds, with status 1. So does a file replaced at its\n"
    "path (a new file renamed over it, or removed) or cut below the records printed.\n"
    "  --from N       start at record N (1-based); without it only records\n"
    "                 appended from now on are printed\n"
    "  --interval MS  pause between polls once caught up (default 20)\n";

constexpr int kBlock = CDBFOperate::kSlotCount;
constexpr size_t kSlotSize = CDBFOperate::kSlotSize;

// Writes text to stdout; throws ToolError when it cannot.
void Emit(const std::string& text) {
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    throw ToolError("cannot write the output");
  }
}

// Prints the n records just read into the buffer and steps over them; with
// skip_deleted, records marked deleted are stepped over without printing.
void EmitBlock(CDBFOperate& table, int n, bool skip_deleted = false) {
  for (int k = 0; k < n; ++k) {
    table.MoveNext();
    if (skip_deleted && IsDeleted(table.m_szRecordBuf + static_cast<size_t>(k) * kSlotSize)) {
      continue;
    }
    Emit(CsvLine(DecodeRecord(table, k)));
  }
}

// Stops the follower (after telling where it stopped) when the file at the
// path was replaced or cut (FileWatch::Check), with the count just read.
template <typename Stopped>
void WatchOrStop(FileWatch& watch, const CDBFOperate& table, long printed, Stopped stopped) {
  try {
    watch.Check(table, table.m_lTotalCount, std::max(0L, printed));
  } catch (const ToolError&) {
    stopped();
    throw;
  }
}

// The record count, freshly read from the header.
long RecordCount(CDBFOperate& table) {
  return atol(table.GetTotalRecord().c_str());
}

}  // namespace

int RunDbfCat(const Args& args) {
  Options opts(args, {{"from", true}, {"limit", true}, {"deleted", true}});
  if (opts.help()) {
    fputs(kCatUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "FILE");
  const long from = opts.GetLong("from", 1, 1, INT_MAX);
  const long limit = opts.GetLong("limit", LONG_MAX, 0, LONG_MAX);
  const bool skip_deleted = SkipDeleted(opts);
  auto table = std::make_unique<CDBFOperate>();
  OpenTable(table.get(), opts.positional()[0]);
  Emit(CsvLine(FieldNames(*table)));

  // Records appended while we print are left for a later run: the count at
  // the start bounds the output. A count beyond the end of a damaged file
  // would read as blank records; those are not printed.
  const long counted = RecordCount(*table);
  const long held = std::max(0L, RecordsHeld(opts.positional()[0], *table));
  const long total = std::min(counted, held);
  long remaining = total >= from ? std::min(limit, total - from + 1) : 0;
  if (remaining > 0 && !table->MoveTo(from - 2)) remaining = 0;
  while (remaining > 0) {
    const int n = table->ReadToBufferFromFile(static_cast<int>(std::min<long>(kBlock, remaining)));
    if (n <= 0) {
      if (table->m_nLastError != 0) {
        throw ToolError("reading records failed: " + table->GetLastErrorMsg().str());
      }
      break;  // the file holds fewer records than its count says
    }
    EmitBlock(*table, n, skip_deleted);
    remaining -= n;
  }
  if (fflush(stdout) != 0) throw ToolError("cannot write the output");
  StopIfFileIsShort(*table, opts.positional()[0]);
  return kExitOk;
}

int RunDbfFollow(const Args& args) {
  Options opts(args, {{"from", true}, {"interval", true}});
  if (opts.help()) {
    fputs(kFollowUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(1, "FILE");
  const long from = opts.GetLong("from", 0, 1, INT_MAX);
  const int interval = static_cast<int>(opts.GetLong("interval", 20, 0, 60000));
  InstallStopHandlers();
  const std::string& path = opts.positional()[0];
  auto table = std::make_unique<CDBFOperate>();
  FileWatch watch(path, "printed");
  watch.Arm();
  OpenTable(table.get(), path);
  watch.Confirm();
  Emit(CsvLine(FieldNames(*table)));
  fflush(stdout);

  // Position just before the first record to print; a start beyond the
  // current end waits for the file to grow that far. A count beyond the
  // records held would have the follower wait for records that never come.
  const long start = from > 0 ? from - 2 : RecordCount(*table) - 1;
  if (start + 1 > RecordsHeld(path, *table)) StopIfFileIsShort(*table, path);
  long printed = start + 1;  // 1-based number of the last record printed
  // Where to resume, told as sql follow tells it.
  auto stopped = [&printed] {
    fprintf(stderr,
            "kestal dbf follow: stopped; last record printed: %s (resume with --from %ld)\n",
            printed > 0 ? std::to_string(printed).c_str() : "none", printed + 1);
  };
  while (!table->MoveTo(start)) {
    if (StopRequested()) {
      stopped();
      return kExitOk;
    }
    SleepUnlessStopped(interval);
  }
  std::string last_error;
  while (!StopRequested()) {
    const int n = table->ReadToBufferFromFile(kBlock);
    if (n > 0) {
      EmitBlock(*table, n);
      printed += n;
      if (fflush(stdout) != 0) throw ToolError("cannot write the output");
    }
    if (table->m_nLastError == 0) {
      if (n > 0) continue;
      // Caught up: the file at the path must still be this one, and hold
      // what was printed, before waiting for more of it.
      WatchOrStop(watch, *table, printed, stopped);
      SleepUnlessStopped(interval);
      continue;
    }
    // Records missing below the count end the run; anything else (a count
    // that cannot be read, a read error) leaves the position alone: report
    // it once and poll on.
    WatchOrStop(watch, *table, printed, stopped);
    StopIfFileIsShort(*table, path);
    if (table->GetLastErrorMsg().str() != last_error) {
      last_error = table->GetLastErrorMsg().str();
      fprintf(stderr, "kestal dbf follow: reading records failed, retrying: %s\n",
              last_error.c_str());
    }
    SleepUnlessStopped(interval);
  }
  stopped();
  return kExitOk;
}

}  // namespace kestal::tool
