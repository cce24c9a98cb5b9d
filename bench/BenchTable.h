// Scratch table files for the benchmarks: an order table (REC_NUM, STOCK, BS,
// PRICE, QTY, NOTE; 56-byte records) written straight to disk, in a folder
// that is removed when the benchmark program ends.
#pragma once

#include <chrono>
#include <string>

namespace kestal::bench {

constexpr int kFieldCount = 6;
constexpr int kHeaderLength = 32 + 32 * kFieldCount + 1;
constexpr int kRecordLength = 1 + 10 + 6 + 1 + 10 + 8 + 20;

// Path of name inside the scratch folder (made on first use).
std::string ScratchFile(const std::string& name);

// Writes a table of records orders at path, replacing any file there, and
// reads it once so that it sits in the page cache. Returns path.
std::string MakeTable(const std::string& path, long records);

// The record image of order i (1-based), REC_NUM filled in.
std::string OrderRecord(long i);

// Nanoseconds on the monotonic clock.
inline long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace kestal::bench
