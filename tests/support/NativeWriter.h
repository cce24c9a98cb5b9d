// A writer on its own engine-native connection (libsqlite3 or libpq) to a
// TestDatabase, for tests that need a transaction held open, rolled back or
// committed while Kestal reads: TestDatabase::Exec runs each statement alone.
#pragma once

#include <memory>
#include <string>

#include "support/TestDatabase.h"

namespace kestal::test {

class NativeWriter {
 public:
  // Connects to db. Throws std::runtime_error on failure.
  explicit NativeWriter(const TestDatabase& db);
  ~NativeWriter();
  NativeWriter(const NativeWriter&) = delete;
  NativeWriter& operator=(const NativeWriter&) = delete;

  // Runs engine-native SQL (one or more statements). SQLite waits up to 10 s
  // for the write lock. Throws std::runtime_error on failure.
  void Exec(const std::string& sql);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestal::test
