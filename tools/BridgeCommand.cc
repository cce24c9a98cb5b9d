// "kestal bridge FILE CONN TABLE": runs the bridge (Bridge.h) until SIGINT or
// SIGTERM. On a terminal, stderr carries a live status line (records copied,
// rate, lag behind the file); otherwise only notices and the closing line.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tools/Bridge.h"
#include "tools/BridgeCheck.h"
#include "tools/BridgeRunner.h"
#include "tools/Commands.h"
#include "tools/DbfTable.h"
#include "tools/Log.h"
#include "tools/Observe.h"
#include "tools/Options.h"
#include "tools/Signals.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char kUsage[] =
    "Usage: kestal bridge FILE CONN TABLE [--mode 0|1|2] [--batch N] [--interval MS]\n"
    "                     [--load-name NAME] [--keep-padding] [--deleted copy|skip]\n"
    "                     [--metrics ADDR:PORT] [--stuck-after S] [--log-format text|json]\n"
    "                     [--reject FILE] [--create-table] [--map FIELD=COLUMN]...\n"
    "                     [--ignore FIELD]... [--check]\n"
    "       kestal bridge --config FILE [OPTIONS]\n"
    "\n"
    "Copies every record of the table file FILE, and every record appended to it\n"
    "later, into the table TABLE of the database named by CONN, until SIGINT or\n"
    "SIGTERM. Fields are matched by name (case-insensitive); the table's int column\n"
    "rec_num receives the record's position in the file, and the copy resumes\n"
    "after the table's highest rec_num, so a restart, even after kill -9, neither\n"
    "loses nor repeats a record. A failed batch is sent again after reconnecting.\n"
    "Each value is checked against its column's declared type and goes in\n"
    "unchanged, or stops the bridge naming the record, column and reason; nothing\n"
    "is cut. Trailing blanks of character fields are removed for varchar and text\n"
    "columns. One bridge per table: the bridge claims TABLE in the database while it\n"
    "runs, and a second one refuses to start.\n"
    "  --mode M       0: INSERT statements (default); 1: INSERTs numbered by the\n"
    "                 server; 2: bulk load through log/ below the working folder\n"
    "  --batch N      records per batch, 1 to 500 (default 500)\n"
    "  --interval MS  pause between polls once caught up (default 200)\n"
    "  --load-name NAME  names the bulk-load file log/OrderTemp_NAME.txt of mode 2\n"
    "                 (default WTK; formerly --tag)\n"
    "  --keep-padding keep the blanks that pad character fields in varchar and\n"
    "                 text columns\n"
    "  --deleted copy|skip  copy records marked deleted like any other (copy, the\n"
    "                 default) or leave them out (skip: their rec_num stays a hole;\n"
    "                 not with --mode 1)\n"
    "  --reject FILE  a record the database refuses for good (a value its column\n"
    "                 cannot hold, a constraint) is logged in FILE with its position,\n"
    "                 raw image and reason, and the bridge goes on; its rec_num\n"
    "                 stays a hole (default: such a record stops the bridge)\n"
    "  --create-table create TABLE from the file's header when it is missing, with\n"
    "                 an index on rec_num\n"
    "  --map FIELD=COLUMN  copy file field FIELD into COLUMN (repeatable)\n"
    "  --ignore FIELD copy file field FIELD nowhere (repeatable)\n"
    "  --check        open both sides, print the plan and copy nothing: exit\n"
    "                 status 0 when the bridge would run, 1 otherwise\n"
    "A database locked by another connection is waited for; one that cannot\n"
    "store anything (disk full, read-only) stops the bridge with its reason.\n"
    "Exit status 1 for a bad field list, a missing file or table, a connection\n"
    "that cannot be made, a value its column cannot hold, a database that refuses\n"
    "every write, a record the database keeps refusing (without --reject), or a\n"
    "file replaced at its path or cut below the records copied; 3 when another\n"
    "bridge is copying into TABLE.\n"
    "  --config FILE  read FILE, CONN, TABLE and the options from the TOML file\n"
    "                 FILE (keys file, connect, table, password and the option\n"
    "                 names; a flag given here wins); tables [bridge.NAME] run\n"
    "                 several bridges in one process (see tools/README.md)\n"
    "The password need not be in CONN: 'Password File=PATH' reads it from a\n"
    "file at each connect, else KESTAL_PASSWORD is used when set.\n";

long long MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The status line on a terminal, redrawn at most four times a second.
class StatusLine {
 public:
  // Drawn only on a terminal of its own and with text logs.
  StatusLine(const BridgeSlot& slot, const Logger& log)
      : tty_(!slot.shared_terminal && isatty(STDERR_FILENO) == 1 &&
             CurrentLogFormat() == LogFormat::kText),
        log_(log) {}

  // Prints a notice on a line of its own.
  void Notice(const std::string& text) {
    if (tty_ && drawn_) fputs("\r\033[K", stderr);
    log_.Warn("notice", text);
    drawn_ = false;
  }

  void Update(const Bridge& bridge, bool force) {
    if (!tty_) return;
    const long long now = MonotonicMs();
    if (!force && now - last_draw_ < 250) return;
    if (now - sample_ms_ >= 1000) {  // the rate over the last second or so
      rate_ = sample_ms_ > 0 ? static_cast<double>(bridge.copied() - sample_copied_) * 1000.0 /
                                   static_cast<double>(now - sample_ms_)
                             : 0.0;
      sample_ms_ = now;
      sample_copied_ = bridge.copied();
    }
    fprintf(stderr, "\r\033[K%ld copied, %.0f records/s, lag %ld%s", bridge.copied(), rate_,
            bridge.file_count() - bridge.position(),
            !bridge.reachable()      ? ", database unreachable"
            : !bridge.busy().empty() ? ", database busy, waiting"
                                     : "");
    fflush(stderr);
    drawn_ = true;
    last_draw_ = now;
  }

  void End() {
    if (tty_ && drawn_) fputs("\n", stderr);
    drawn_ = false;
  }

 private:
  const bool tty_;
  const Logger& log_;
  bool drawn_ = false;
  long long last_draw_ = 0;
  long long sample_ms_ = 0;
  long sample_copied_ = 0;
  double rate_ = 0.0;
};

}  // namespace

int RunBridge(const Args& args) {
  int configured = kExitOk;
  if (RunConfigured(BridgeConfigShape(), args, RunBridge, &configured)) return configured;
  Options opts(args, {{"load-name", true},
                      {"tag", true},
                      {"keep-padding", false},
                      {"mode", true},
                      {"batch", true},
                      {"interval", true},
                      {"metrics", true},
                      {"stuck-after", true},
                      {"log-format", true},
                      {"deleted", true},
                      {"reject", true},
                      {"create-table", false},
                      {"map", true, true},
                      {"ignore", true, true},
                      {"check", false}});
  if (opts.help()) {
    fputs(kUsage, stdout);
    fputs(kObserveUsage, stdout);
    return kExitOk;
  }
  opts.ExpectPositional(3, "FILE, CONN and TABLE");
  opts.Rename("tag", "load-name", "kestal bridge");
  BridgeConfig config;
  config.dbf_path = opts.positional()[0];
  config.connect = opts.positional()[1];
  config.table = opts.positional()[2];
  config.tag = opts.Get("load-name", "WTK");
  config.keep_padding = opts.Has("keep-padding");
  config.skip_deleted = SkipDeleted(opts);
  config.mode = static_cast<int>(opts.GetLong("mode", 0, 0, 2));
  config.batch = static_cast<int>(opts.GetLong("batch", 500, 1, 500));
  const int interval = static_cast<int>(opts.GetLong("interval", 200, 0, 60000));
  config.reject_path = opts.Get("reject");
  if (opts.Has("reject") && config.reject_path.empty()) {
    throw UsageError(BadOptionValue("reject", "a file name", ""));
  }
  config.create_table = opts.Has("create-table");
  config.maps = opts.GetAll("map");
  config.ignores = opts.GetAll("ignore");
  const BridgeSlot& slot = ThisBridge();
  if (slot.validate_only) return kExitOk;
  if (opts.Has("check")) return RunBridgeCheck(config, slot.name, slot.label);
  InstallStopHandlers();
  // A file-size limit met by the database engine becomes a write error with
  // its reason, not a kill.
  signal(SIGXFSZ, SIG_IGN);

  Observer observer(opts, slot.label);
  const std::string name = slot.name.empty() ? config.table : slot.name;
  const Logger log(slot.label, "bridge", name);
  StatusLine status(slot, log);
  Bridge bridge(config, [&status](const std::string& text) { status.Notice(text); });
  BridgeMeter meter(observer, name, config.dbf_path, config.table, bridge);
  observer.Start();
  bridge.Open();
  meter.Opened();
  observer.Ready("copying " + config.dbf_path + " into " + config.table);
  try {
    while (!StopRequested()) {
      const long n = bridge.Step();
      meter.Stepped();
      observer.Alive();
      status.Update(bridge, false);
      if (n == 0) SleepUnlessStopped(observer.SleepMs(interval));
    }
  } catch (...) {
    status.End();
    throw;
  }
  observer.Stopping();
  status.Update(bridge, true);
  status.End();
  log.Info("stopped",
           "stopped; " + std::to_string(bridge.copied()) + " records copied in this run, " +
               std::to_string(bridge.position()) + " of " + std::to_string(bridge.file_count()) +
               " in the table",
           {{"copied", bridge.copied()},
            {"position", bridge.position()},
            {"file_count", bridge.file_count()}});
  if (bridge.skipped() > 0) {
    log.Info("deleted_skipped",
             std::to_string(bridge.skipped()) + " records marked deleted were left out",
             {{"skipped", bridge.skipped()}});
  }
  if (bridge.rejected() > 0) {
    log.Info("rejected",
             std::to_string(bridge.rejected()) + " records set aside in '" + config.reject_path +
                 "' in this run",
             {{"rejected", bridge.rejected()}});
  }
  return kExitOk;
}

}  // namespace kestal::tool
