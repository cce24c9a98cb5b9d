// The scale benchmark (scripts/scale-bench.sh): shared pieces of its driver,
// which builds the big tables and times each case as a child process, and of
// the child cases it runs (the raw baselines and the window follower).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestal::scale {

// What one measured child process cost.
struct Measured {
  bool ok = false;
  double seconds = 0;  // wall time; the child's own "seconds=" line when it prints one
  double cpu = 0;      // user and system CPU time of the child; its "cpu=" when printed
  long peak_kb = 0;    // peak resident memory of the child (ru_maxrss)
  std::string out;     // the child's standard output, when captured
};

// Runs argv as a child with its standard output sent to out_path (or
// captured when out_path is empty) and waits for it. When done is given it
// is asked every 50 ms while the child runs; once it answers true the time
// stops and the child gets SIGTERM (a command that runs until stopped, such
// as "kestal bridge"). ok: the child exited with status 0, or done said so.
Measured RunMeasured(const std::vector<std::string>& argv, const std::string& out_path,
                     const std::function<bool()>& done = nullptr);

// CPU seconds this process has used so far.
double ProcessCpuSeconds();

// Child cases, run as "kestal_scale CASE ARGS..."; each returns the process
// exit status; the follow cases print "cpu=C seconds=S rows=N bytes=B" for
// the part they time themselves, the count and load cases "rows=N".
int RawCount(const std::vector<std::string>& args);
int RawFollow(const std::vector<std::string>& args);
int KestalFollow(const std::vector<std::string>& args);
int RawLoad(const std::vector<std::string>& args);
int RawRead(const std::vector<std::string>& args);

// The window of the follow cases, as "kestal sql follow" uses by default.
constexpr int kWindow = 500;
// Records per commit of the raw loaders, the bridge's batch.
constexpr int kBatch = 500;

}  // namespace kestal::scale
